# SKF binding tests
