# provider tests
