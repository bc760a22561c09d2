# softskf tool
