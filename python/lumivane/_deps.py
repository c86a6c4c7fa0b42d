"""Optional packages, imported when a feature first needs one.

The package itself needs the standard library only. numpy (the trace as an
array), pandas (tables as DataFrames), matplotlib (plots), dask.distributed
(ensembles on a cluster) and tqdm (a nicer progress bar) are each imported by
the function that needs it; a missing one raises MissingDependency, which names
the Debian package and the pip name to install. An installed version below
the one a feature needs (MINIMUM) raises it too, naming both versions.
"""
from __future__ import annotations

import importlib
from typing import Any, Optional, Tuple

# module -> (Debian package, pip name)
_PACKAGES = {
    "numpy": ("python3-numpy", "numpy"),
    "pandas": ("python3-pandas", "pandas"),
    "matplotlib": ("python3-matplotlib", "matplotlib"),
    "distributed": ("python3-distributed", "distributed"),
    "tqdm": ("python3-tqdm", "tqdm"),
}
# Below these, calls the package makes fail with a TypeError deep inside the module:
# matplotlib 3.6 brought subplots(height_ratios=, width_ratios=).
MINIMUM = {"matplotlib": (3, 6)}


def _version(text: str) -> Tuple[int, ...]:
    parts = []
    for part in text.split(".")[:3]:
        digits = "".join(c for c in part if c.isdigit()) if part[:1].isdigit() else ""
        if not digits:
            break
        parts.append(int(digits))
    return tuple(parts)


class MissingDependency(ImportError):
    """An optional package that a feature needs is not importable.

    `package` is the Debian package that provides it, `pip_name` its name on
    PyPI; the message names both and the feature that asked.
    """

    def __init__(self, module: str, feature: str, found: Optional[str] = None) -> None:
        top = module.partition(".")[0]
        package, pip_name = _PACKAGES.get(top, (f"python3-{top}", top))
        wanted = ".".join(map(str, MINIMUM[top])) if top in MINIMUM else ""
        why = ("which is not importable" if found is None
               else f"at least {wanted}, and {found} is installed")
        super().__init__(f"{feature} needs {top}, {why}: install Debian's {package} (apt-get "
                         f"install {package}) or `pip install "
                         f"{repr(pip_name + '>=' + wanted) if wanted else pip_name}`", name=top)
        self.package = package
        self.pip_name = pip_name


def require(module: str, feature: str) -> Any:
    """Imports `module` for `feature`, or raises MissingDependency naming its package."""
    try:
        found = importlib.import_module(module)
        top = module.partition(".")[0]
        if top in MINIMUM:
            version = str(getattr(importlib.import_module(top), "__version__", ""))
            if _version(version) < MINIMUM[top]:
                raise MissingDependency(module, feature, version)
        return found
    except MissingDependency:
        raise
    except ImportError as error:
        # A module that is there but fails inside its own imports is another problem:
        # only the missing module itself (or its top-level package) becomes our message.
        top = module.partition(".")[0]
        if error.name is not None and error.name not in (module, top):
            raise
        raise MissingDependency(module, feature) from error


def available(module: str) -> bool:
    """Whether `module` imports (an optional feature's test, without raising)."""
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True
