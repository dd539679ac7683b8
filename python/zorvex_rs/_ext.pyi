"""Classes and functions added beside the extension's first-release surface."""
