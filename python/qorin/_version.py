"""The package version, read by the package, the command line and saved results."""

__version__ = "0.1.0"
