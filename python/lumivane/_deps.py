"""Optional packages, imported when a feature first needs one: a missing one, or one older
than MINIMUM, raises MissingDependency naming the Debian package and the pip name."""
from __future__ import annotations

import importlib
from typing import Any, Optional, Tuple

# Below these, calls the package makes fail with a TypeError deep inside the module:
# matplotlib 3.6 brought subplots(height_ratios=, width_ratios=).
MINIMUM = {"matplotlib": (3, 6)}
# Debian's package where it is not python3- and the module's name.
DEBIAN = {"netCDF4": "python3-netcdf4"}


def _version(text: str) -> Tuple[int, ...]:
    parts = []
    for part in text.split(".")[:3]:
        if not part[:1].isdigit():
            break
        parts.append(int("".join(c for c in part if c.isdigit())))
    return tuple(parts)


class MissingDependency(ImportError):
    """An optional package that a feature needs is not importable, or is too old:
    `package` is the Debian package that provides it, `pip_name` its name on PyPI;
    `module`, `feature` and `found` (the version found, when too old) as given."""

    def __init__(self, module: str, feature: str, found: Optional[str] = None) -> None:
        top = module.partition(".")[0]
        package = DEBIAN.get(top, f"python3-{top}")  # python3-numpy, python3-pandas, ...
        wanted = ".".join(map(str, MINIMUM[top])) if top in MINIMUM else ""
        why = ("which is not importable" if found is None
               else f"at least {wanted}, and {found} is installed")
        super().__init__(f"{feature} needs {top}, {why}: install Debian's {package} (apt-get "
                         f"install {package}) or `pip install "
                         f"{repr(top + '>=' + wanted) if wanted else top}`", name=top)
        self.module, self.feature, self.found = module, feature, found
        self.package = package
        self.pip_name = top

    def __reduce__(self) -> Tuple[Any, Tuple[str, str, Optional[str]]]:
        # Pickled (as Dask sends a task's exception) by the arguments that remake it.
        return type(self), (self.module, self.feature, self.found)


def require(module: str, feature: str) -> Any:
    """Imports `module` for `feature`, or raises MissingDependency naming its package."""
    top = module.partition(".")[0]
    try:
        found = importlib.import_module(module)
    except ImportError as error:
        # A module that is there but fails inside its own imports is another problem:
        # only the missing module itself (or its top-level package) becomes our message.
        if error.name is not None and error.name not in (module, top):
            raise
        raise MissingDependency(module, feature) from error
    if top in MINIMUM:
        version = str(getattr(importlib.import_module(top), "__version__", ""))
        if _version(version) < MINIMUM[top]:
            raise MissingDependency(module, feature, version)
    return found


def available(module: str) -> bool:
    """Whether `module` imports (an optional feature's test, without raising)."""
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True
