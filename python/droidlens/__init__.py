"""droidlens: let a vision language model read and operate Android screens.

The package is the compiled extension (droidlens._droidlens) under its public name,
plus the pytest plugin (droidlens.pytest_plugin)."""
from . import _droidlens

# Everything the extension defines, its private helpers included, is the package's own:
# droidlens.route, droidlens.UsageError, ... keep the names they had as a plain module.
globals().update({name: value for name, value in vars(_droidlens).items()
                  if not name.startswith("__") or name in ("__all__", "__version__")})
__doc__ = _droidlens.__doc__
