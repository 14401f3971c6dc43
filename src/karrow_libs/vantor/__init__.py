"""Search-engine side of karrow_libs: transforms and their helpers."""
