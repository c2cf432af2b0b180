"""The `malven` command: structural alignment of structure files from the shell (align, msa,
scan, allvsall, demo), a thin layer over the keldascope toolkit and the malven module."""
