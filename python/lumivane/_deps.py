"""Optional packages, imported when a feature first needs one.

The package itself needs the standard library only. numpy (the trace as an
array), pandas (tables as DataFrames), matplotlib (plots), dask.distributed
(ensembles on a cluster) and tqdm (a nicer progress bar) are each imported by
the function that needs it; a missing one raises MissingDependency, which names
the Debian package and the pip name to install.
"""
from __future__ import annotations

import importlib
from typing import Any

# module -> (Debian package, pip name)
_PACKAGES = {
    "numpy": ("python3-numpy", "numpy"),
    "pandas": ("python3-pandas", "pandas"),
    "matplotlib": ("python3-matplotlib", "matplotlib"),
    "distributed": ("python3-distributed", "distributed"),
    "tqdm": ("python3-tqdm", "tqdm"),
}


class MissingDependency(ImportError):
    """An optional package that a feature needs is not importable.

    `package` is the Debian package that provides it, `pip_name` its name on
    PyPI; the message names both and the feature that asked.
    """

    def __init__(self, module: str, feature: str) -> None:
        top = module.partition(".")[0]
        package, pip_name = _PACKAGES.get(top, (f"python3-{top}", top))
        super().__init__(f"{feature} needs {top}, which is not importable: install Debian's "
                         f"{package} (apt-get install {package}) or `pip install {pip_name}`",
                         name=top)
        self.package = package
        self.pip_name = pip_name


def require(module: str, feature: str) -> Any:
    """Imports `module` for `feature`, or raises MissingDependency naming its package."""
    try:
        return importlib.import_module(module)
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
