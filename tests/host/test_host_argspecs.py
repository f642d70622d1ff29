"""The argspec read from a plain function's code is what inspect.getfullargspec gives."""

from __future__ import annotations

import functools
import inspect

import pytest

from corvane_common.utils import func_facts


def plain(a, b=1, *args, c, d=2, **kw) -> int:
    return a


def positional_only(a, b, /, c=3, *, d):
    return a


def annotated(x: "int", *rest: str, key: bytes = b"", **more: float) -> None:
    pass


def nothing():
    pass


class Holder:
    def method(self, value=None):
        return value

    later = functools.partialmethod(method, 5)


def odd_shapes():
    too_many_defaults = lambda a: a  # noqa: E731
    too_many_defaults.__defaults__ = (1, 2)
    empty_default = lambda a=inspect.Parameter.empty: a  # noqa: E731
    empty_annotation = lambda a: a  # noqa: E731
    empty_annotation.__annotations__ = {"a": inspect.Parameter.empty, "return": int}
    stray_annotations = lambda a: a  # noqa: E731
    stray_annotations.__annotations__ = {"zz": int, "a": str}
    stray_kwdefaults = eval("lambda *, k: k")
    stray_kwdefaults.__kwdefaults__ = {"other": 1}
    renamed = (lambda a, b: a)
    renamed.__code__ = renamed.__code__.replace(co_varnames=(".0", "b"))
    keyworded = (lambda a: a)
    keyworded.__code__ = keyworded.__code__.replace(co_varnames=("class",))
    return [too_many_defaults, empty_default, empty_annotation, stray_annotations,
            stray_kwdefaults, renamed, keyworded]


CASES = [plain, positional_only, annotated, nothing, Holder.method, Holder.later.__get__(None, Holder),
         lambda *a, **k: None, eval("lambda x, y=[]: x")] + odd_shapes()


def reference(func):
    try:
        return inspect.getfullargspec(func)
    except TypeError:
        return None


@pytest.mark.parametrize("func", CASES)
def test_argspec_is_the_inspect_one(func):
    func_facts._ARGSPECS.__init__()
    got = func_facts.get_signature(func)
    assert got == reference(func)
    if got is not None:
        # the same field types, so that the pickles match too
        assert [type(v) for v in got] == [type(v) for v in reference(func)]


def test_the_code_is_read_for_plain_shapes_only():
    handled = [plain, positional_only, annotated, nothing, Holder.method] + odd_shapes()[3:5]
    assert all(func_facts._plain_argspec(f) is not None for f in handled)
    declined = odd_shapes()[:3] + odd_shapes()[5:] + [Holder.__dict__["later"]._make_unbound_method()]
    assert all(func_facts._plain_argspec(f) is None for f in declined)
