# certificate tests
