"""Core trading machinery of quorvane: the built-in strategies live in
``trader_core.strategies``."""
