"""Whether a module can be named without the import system doing any work.

The collector runs inside calls of the user's program, on any of its threads,
and must never import: importing a module that is not loaded runs its code,
and importing one that another thread is still initialising waits on that
module's lock until the other thread's import ends.  If that thread is
waiting for ours (it joins the thread whose call we are recording, in the
body of the module it imports), both wait for ever.  ``pickle`` imports the
module of every class and function it writes by name, so the picklers ask
here first.
"""

import sys


def module_loaded(module_name):
    """Whether ``module_name`` and every package above it are in
    ``sys.modules`` and none of them is still being initialised.

    Only then does importing the name (as ``pickle`` does, with
    ``__import__``) just look it up.  A module whose ``__spec__`` is missing
    or None counts as loaded, as it does for the import system.
    """
    if type(module_name) is not str or not module_name or module_name[0] == ".":
        return False
    modules = sys.modules
    name = module_name
    while True:
        module = modules.get(name)
        if module is None:
            return False
        try:
            spec = getattr(module, "__spec__", None)
            if spec is not None and getattr(spec, "_initializing", False):
                return False
        except Exception:
            return False
        dot = name.rfind(".")
        if dot < 0:
            return True
        name = name[:dot]
