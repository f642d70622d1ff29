"""Helpers shared by the collector's packages. PYTEST_DONT_REWRITE (see corvane_collector)."""
