[*]
score 1 expires 29.02.2001
