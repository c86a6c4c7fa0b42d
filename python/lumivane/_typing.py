# mypy: warn-unused-ignores=False
"""pandas for the package's type hints alone, imported by no module at run time.

pandas 1.5 ships no type hints, so its import needs the ignore below; with pandas-stubs
installed it does not, and that ignore must not count as unused."""
import pandas as pandas  # type: ignore[import]

__all__ = ["pandas"]
