"""Installation: printed errors, what each failure leaves in place, the sampling bound."""
from fractions import Fraction

import pytest

from conform_harness import requires_interceptor, run_program, CALLBACKS

pytestmark = requires_interceptor

INT64_MAX = 9223372036854775807


def test_bound_arithmetic_for_typical_rates():
    out = run_program("""
        def main():
            res = {}
            for rate in (1.0, 0.5, 0.0, 0.25, 0.01, 1, 0):
                interceptor.apply(set(), rate)
                res[repr(rate)] = native("upper_bound").value
            interceptor.set_defualt_interpter()
            return res
        """, apply=False).check()
    res = out.result
    assert res["1.0"] == INT64_MAX == res["1"]
    assert res["0.5"] == 4611686018427387903
    assert res["0.0"] == 0 == res["0"]
    # The product is formed in extended precision and truncated.
    assert res["0.25"] == int(Fraction(INT64_MAX) * Fraction(0.25)) == 2305843009213693951
    assert abs(res["0.01"] - int(Fraction(INT64_MAX) * Fraction(0.01))) <= 1024


def test_set_collecting_rate_changes_only_the_bound():
    out = run_program("""
        def main():
            interceptor.apply(set(), 1.0)
            seed = native("random_seed").value
            interceptor.set_collecting_rate(0.25)
            after = (native("upper_bound").value, native("random_seed").value)
            interceptor.set_collecting_rate(1.0)
            active = evaluator_active()
            interceptor.set_defualt_interpter()
            return [seed, after[0], after[1], active]
        """, apply=False).check()
    seed, bound, seed_after, active = out.result
    assert bound == 2305843009213693951
    assert seed_after == seed
    assert active


def test_apply_seeds_from_urandom_each_time():
    out = run_program("""
        def main():
            seeds = []
            for _ in range(3):
                interceptor.apply(set(), 0.0)
                seeds.append(native("random_seed").value)
            interceptor.set_defualt_interpter()
            return seeds
        """, apply=False).check()
    assert len(set(out.result)) == 3 and 0 not in out.result


def test_wrong_argument_counts_are_printed_and_change_nothing():
    out = run_program("""
        def main():
            r = [interceptor.apply({__file__}), interceptor.apply()]
            installed_after_bad_apply = evaluator_active()
            interceptor.apply(set(), 0.5)
            bound = native("upper_bound").value
            r.append(interceptor.set_collecting_rate())
            bound_after_bad_rate = native("upper_bound").value
            r.append(interceptor.set_defualt_interpter())
            return [r, installed_after_bad_apply, bound, bound_after_bad_rate, stock_active()]
        """, apply=False).check()
    returns, installed, bound, bound2, stock = out.result
    assert returns == [None, None, None, None]
    assert not installed
    assert bound == bound2 == 4611686018427387903
    assert stock
    # Each failure is the interpreter's own error print on stderr.
    assert out.stderr.count("TypeError") == 3, out.stderr
    assert "SS" in out.stderr and "argument" in out.stderr


def test_set_defualt_interpter_before_any_apply_is_harmless():
    out = run_program("""
        def main():
            r = interceptor.set_defualt_interpter()
            return [r, stock_active()]
        """, apply=False, recorder=None).check()
    assert out.result == [None, True]
    assert out.stderr == ""


def test_unimportable_recorder_is_printed_and_keeps_the_stock_evaluator():
    out = run_program("""
        import sys, types
        def main():
            import importlib.abc
            class Failing(importlib.abc.MetaPathFinder):
                def find_spec(self, name, path, target=None):
                    if name.startswith("corvane_collector"):
                        raise RuntimeError("recorder exploded on import")
            sys.meta_path.insert(0, Failing())
            for k in [k for k in sys.modules if k.startswith("corvane_collector")]:
                del sys.modules[k]
            r = interceptor.apply({__file__}, 1.0)
            return [r, stock_active()]
        """, apply=False, recorder=None).check()
    assert out.result == [None, True]
    assert "recorder exploded on import" in out.stderr
    assert out.stdout.strip().splitlines() == ["Error importing python script"]


@pytest.mark.parametrize("missing", ["load_attr_hook", "record_external_call",
                                     "record_user_function_return_value"])
def test_missing_callback_is_printed_and_never_called(missing):
    out = run_program("""
        import logrec
        del logrec.%s
        G = 3
        def f(x):
            return len([x, G])
        class K:
            v = 1
        def g(k):
            return k.v + f(k.v)
        def main():
            return g(K())
        """ % missing).check()
    assert out.stdout.strip().splitlines() == ["Error getting %s()" % missing]
    assert "AttributeError" in out.stderr
    assert out.result == 3
    kinds = {e[0] for e in out.log}
    gone = {"load_attr_hook": "attr", "record_external_call": "ext",
            "record_user_function_return_value": "ret"}[missing]
    assert gone not in kinds
    # Installation went on: the other callbacks still run.
    assert "call" in kinds and (kinds - {gone}) >= {"call", "global"}
    if missing == "record_external_call":
        assert "extret" not in kinds


def test_every_callback_missing_still_installs():
    recorder = ("import sys, types\n"
                "for name in ('corvane_collector', 'corvane_collector.data_collection'):\n"
                "    sys.modules[name] = types.ModuleType(name)\n"
                "    sys.modules[name].__path__ = []\n"
                "sys.modules[%r] = types.ModuleType('empty')\n"
                % "corvane_collector.data_collection.call_recorder")
    out = run_program("""
        def f(x):
            return x * 2
        def main():
            return [f(i) for i in range(5)] + [evaluator_active()]
        """, recorder=recorder).check()
    assert out.result == [0, 2, 4, 6, 8, True]
    assert out.stdout.strip().splitlines() == ["Error getting %s()" % c for c in CALLBACKS]


@pytest.mark.parametrize("rate", ["float('nan')", "2.0", "-1.0", "1e300", "'abc'", "None",
                                  "float('inf')"])
def test_out_of_range_or_unconvertible_rate_is_safe(rate):
    # Neither raises nor leaves a bound outside what sampling can use.
    out = run_program("""
        def main():
            interceptor.apply(set(), 0.5)
            r1 = interceptor.set_collecting_rate(%s)
            b1 = native("upper_bound").value
            r2 = interceptor.apply(set(), %s)
            b2 = native("upper_bound").value
            interceptor.set_defualt_interpter()
            return [r1, r2, b1, b2]
        """ % (rate, rate), apply=False).check()
    r1, r2, b1, b2 = out.result
    assert r1 is None and r2 is None
    for b in (b1, b2):
        assert 0 <= b <= 9223372036854775807
    if rate in ("2.0", "1e300", "float('inf')"):
        assert b1 in (9223372036854775807, 4611686018427387903)
    if rate == "-1.0":
        assert b1 in (0, 4611686018427387903)
    if rate in ("'abc'", "None"):
        # Refused: the bound in force stays, and the refusal is visible.
        assert b1 == 4611686018427387903
        assert out.stdout.strip() or out.stderr.strip()
