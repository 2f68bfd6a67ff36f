"""The results tool's code, one module a job: reading reports, the forms of
the loops and slow workers, and one module per sub-command."""
