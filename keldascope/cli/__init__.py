"""The `malven` command: structural alignment of PDB files from the shell (align, msa, scan,
demo), a thin layer over the extension module `malven`."""
