"""Code called from C with an exception already set behaves as under the stock evaluator.

C code that forgets to clear an error before calling into Python (and the recorder's
return callbacks, which run with the call's exception pending) makes every lookup and
call run with that error in the thread state.  Which of them report it is the
interpreter's own business: the evaluator must report exactly the errors stock reports.
"""
import os
import subprocess
import sysconfig

import pytest

from conform_harness import requires_interceptor, run_program

pytestmark = requires_interceptor

HERE = os.path.dirname(os.path.abspath(__file__))

PROGRAM = r'''
import builtins, re, sys, types
sys.path.insert(0, %(helper_dir)r)
from pending_call import call_with_pending

MODULE_VALUE = 5

class Plain:
    cls_attr = 2

OBJ = Plain()

class GlobalsSubclass(dict):
    pass

class GlobalsMissing(dict):
    def __missing__(self, key):
        return 42

def builtin_global():
    return len(())

def builtin_global_caught():
    try:
        len(())
    except SystemError as e:
        return "caught %%s from %%s" %% (type(e).__name__, type(e.__cause__).__name__)

def module_global():
    return MODULE_VALUE

def missing_global():
    return no_such_name_anywhere

def warm_builtin():
    return len(())

def warm_module():
    return MODULE_VALUE

def attribute():
    return OBJ.cls_attr

def loop_end():
    for x in [1]:
        pass
    return "looped"

def star_unpack():
    a, *b = iter([1, 2])
    return a

async def agen():
    yield 1

def with_globals(fn, globals_):
    return types.FunctionType(fn.__code__, globals_, fn.__name__)

def scenarios():
    own = {"__builtins__": builtins}
    proxy_builtins = {"__builtins__": types.MappingProxyType(vars(builtins))}
    # The process's first value yielded by an async generator.
    yield "async generator yield", agen().asend(None).__next__
    for fn in (builtin_global, builtin_global_caught, module_global, missing_global,
               attribute, loop_end, star_unpack):
        yield fn.__name__, fn
    for fn in (warm_builtin, warm_module):
        for _ in range(1100):  # past the threshold of the opcode cache
            fn()
    yield "warm_builtin cache hit", warm_builtin
    yield "warm_module cache hit", warm_module
    globals()["_bump"] = object()  # a new version of globals: the caches miss
    yield "warm_builtin cache miss", warm_builtin
    yield "warm_module cache miss", warm_module
    yield "LOAD_NAME builtin", types.FunctionType(compile("len(())", "<s>", "exec"), dict(own))
    yield "LOAD_NAME local", types.FunctionType(compile("MODULE_VALUE", "<s>", "exec"),
                                                dict(own, MODULE_VALUE=1))
    yield "LOAD_NAME missing", types.FunctionType(compile("nope", "<s>", "exec"), dict(own))
    yield "module code", types.FunctionType(
        compile("x: int = 1\ndel x\nimport os\n", "<s>", "exec"), dict(own))
    yield "dict subclass globals", with_globals(builtin_global, GlobalsSubclass(own))
    yield "dict subclass global hit", with_globals(module_global,
                                                   GlobalsSubclass(own, MODULE_VALUE=1))
    yield "__missing__ globals", with_globals(missing_global, GlobalsMissing(own))
    yield "mapping builtins", with_globals(builtin_global, proxy_builtins)
    yield "mapping builtins missing", with_globals(missing_global, dict(proxy_builtins))

def describe(outcome):
    result, exc = outcome
    if exc is None:
        return ["result", repr(result)]
    chain = []
    while exc is not None and len(chain) < 4:
        chain.append([type(exc).__name__, re.sub(" at 0x[0-9a-f]+", "", str(exc))])
        exc = exc.__cause__ or exc.__context__
    return chain

def main():
    return [[name, describe(call_with_pending(fn, ValueError, "pending"))]
            for name, fn in scenarios()]
'''


@pytest.fixture(scope="module")
def helper_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("pending-call")
    ext = sysconfig.get_config_var("EXT_SUFFIX")
    subprocess.run([sysconfig.get_config_var("CC").split()[0], "-shared", "-fPIC", "-O1",
                    "-I", sysconfig.get_paths()["include"],
                    os.path.join(HERE, "pending_call.c"),
                    "-o", str(out / ("pending_call" + ext))], check=True)
    return str(out)


@pytest.mark.parametrize("project,rate", [("{__file__}", 1.0), ("{__file__}", 0.0),
                                          ("set()", 0.0)],
                         ids=["sampled", "project-rate0", "empty-set"])
def test_lookups_with_an_exception_set_report_what_stock_reports(helper_dir, project, rate):
    program = PROGRAM % {"helper_dir": helper_dir}
    stock = run_program(program, apply=False).check()
    ours = run_program(program, project=project, rate=rate).check()
    assert dict(ours.result) == dict(stock.result)
    # The scenarios reach the lookups they are about.
    outcomes = dict(stock.result)
    assert outcomes["builtin_global_caught"] == ["result", "'caught SystemError from ValueError'"]
    assert outcomes["missing_global"] == [["ValueError", "pending"]]
