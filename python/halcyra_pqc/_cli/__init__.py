"""The halcyra-pqc command-line tool (also run as `python -m halcyra_pqc`)."""
