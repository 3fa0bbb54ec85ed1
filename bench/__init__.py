"""Benchmark suite: python -m bench --help."""
