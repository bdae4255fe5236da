"""The version of vexa, read by the package and by its build (pyproject.toml)."""
__version__ = "0.1.0"
