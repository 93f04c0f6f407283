-9999 -100 KILL
-99 -50 HDRONLY
1 100 FLAG_EMPH

[*]
score -100
From=*spammer*
