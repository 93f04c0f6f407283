; comment
# another
[!de.test, de.comp.*]
	SCORE= 50 EXPIRES 2030-12-31
NAME final rule
Subject == Hello
Lines<100
OR score 7
From!=*<a@b>*
AND score -3 expires 31.12.2000
X-Tag!==*x*
