[*]
score 1
NAME a
NAME b
