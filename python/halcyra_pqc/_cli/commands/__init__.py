"""The commands of halcyra-pqc, one module each. A command module holds its name, its
summary, its examples, add_arguments(parser) for its options and run(args), which returns
the exit code. At the top it imports only what building its parser needs, so that starting
one command costs none of the others' imports."""
