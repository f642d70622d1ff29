"""corvane collector: records sampled calls of a project's functions.

``start(project_path, collecting_rate=1.0, store=None, external_calls_max=1000)``
begins recording in the current process and ``stop()`` ends it (it also runs
at interpreter exit). Importing the package stays cheap: the interceptor and
the compiled modules are only loaded by ``start``.

PYTEST_DONT_REWRITE: in a recorded process this package is imported at
start-up, before pytest could rewrite it; the marker keeps pytest (which loads
our plugin) from warning about that.
"""

__version__ = "0.1.0"

from corvane_collector.starter import StartError, start, stop  # noqa: E402

__all__ = ["StartError", "start", "stop", "__version__"]
