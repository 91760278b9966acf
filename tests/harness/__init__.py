"""What the integration tests and the benchmark know about the program and its surroundings,
each piece written once. bench/ uses program, standin and wine; the other modules are the tests'."""
