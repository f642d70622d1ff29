"""External calls, attribute and global loads, as the recorder sees them."""
from conform_harness import requires_interceptor, run_program, run_both, calls

pytestmark = requires_interceptor


def normalize(log):
    """Replaces record and token numbers by their order of appearance (#1, #2, ...),
    so that a sequence can be compared with the pairing of calls and returns kept."""
    labels = {}

    def label(n):
        if n not in labels:
            labels[n] = "#%d" % (len(labels) + 1)
        return labels[n]

    out = []
    for e in log:
        e = list(e)
        if e[0] == "call":
            e[4] = label(e[4])
        elif e[0] == "ext":
            e[3] = label(e[3])
        elif e[0] in ("ret", "extret"):
            e[2] = labels.get(e[2], "?%s" % e[2])
        out.append(e)
    return out


BODY = """
import textwrap
G = 10
class C:
    def __init__(self):
        self.x = 1
    def m(self):
        return self.x
    @property
    def p(self):
        return len("abc")
def recorded(c, lst):
    a = c.x
    b = c.m()
    lst.append(a)
    d = c.p
    g = G
    n = len(lst)
    t = textwrap.dedent(" x")
    try:
        c.missing
    except AttributeError:
        pass
    return a + b + d + g + n
def main():
    c = C()
    y = G + c.x
    return recorded(c, [])
"""


def test_sequence_of_hooks_in_a_recorded_call():
    out = run_program(BODY).check()
    assert out.result == 16
    assert normalize(out.log) == [
        ["call", "<function recorded>", ["<C>", []], {}, "#1"],
        ["attr", "<C>", "x", 1],
        ["attr", "<C>", "m", "<function C.m>"],
        ["call", "<function C.m>", ["<C>"], {}, "#2"],
        ["attr", "<C>", "x", 1],
        ["ret", 1, "#2"],
        ["attr", [], "append", "<descriptor list.append>"],
        ["ext", "<descriptor list.append>", False, "#3"],
        ["extret", None, "#3"],
        # The property getter runs with recording suspended: its len() is not reported.
        ["attr", "<C>", "p", 3],
        ["global", 10, "G"],
        # len comes from the built-ins: no global report.
        ["ext", "<builtin_function_or_method len>", False, "#4"],
        ["extret", 1, "#4"],
        ["global", "<module>", "textwrap"],
        ["attr", "<module>", "dedent", "<function dedent>"],
        # What dedent calls inside the library is not reported.
        ["ext", "<function dedent>", True, "#5"],
        ["extret", "x", "#5"],
        ["ret", 16, "#1"],
    ]


def test_project_function_called_back_from_a_python_library():
    out = run_program("""
        import textwrap
        def pred(line):
            return abs(len(line)) > 3
        def recorded(text):
            return textwrap.indent(text, "> ", pred)
        def main():
            return recorded("ab\\nabcd\\n")
        """).check()
    assert out.result == "ab\n> abcd\n"
    seq = [(e[0], e[1]) for e in out.log if e[0] in ("call", "ret", "ext", "extret")]
    # indent's own calls (splitlines, join, ...) are not reported; pred is sampled at
    # the library's call site and its own external calls are reported again.
    assert seq == [
        ("call", "<function recorded>"), ("ext", "<function indent>"),
        ("call", "<function pred>"),
        ("ext", "<builtin_function_or_method len>"), ("extret", 3),
        ("ext", "<builtin_function_or_method abs>"), ("extret", 3),
        ("ret", False),
        ("call", "<function pred>"),
        ("ext", "<builtin_function_or_method len>"), ("extret", 5),
        ("ext", "<builtin_function_or_method abs>"), ("extret", 5),
        ("ret", True),
        ("extret", "ab\n> abcd\n"), ("ret", "ab\n> abcd\n")]


def test_external_call_token_none_makes_no_return_callback():
    out = run_program("""
def recorded(x):
    return len(x) + abs(-1)
def main():
    return recorded("abc")
""", recorder_extra="""
def record_external_call(callee, is_python):
    LOG.append(["ext-none"])
""").check()
    assert out.result == 4
    kinds = [e[0] for e in out.log if e[0] not in ("attr", "global")]
    assert kinds == ["call", "ext-none", "ext-none", "ret"]


def test_opcache_serves_attribute_loads_unreported_but_never_global_loads():
    out = run_program("""
        G = 10
        class O:
            def __init__(self):
                self.a = 1
        def hot(o):
            return o.a + G
        def cold(o):
            return o.a + G
        def main():
            o = O()
            interceptor.set_collecting_rate(0.0)
            for i in range(1100):
                hot(o)
            interceptor.set_collecting_rate(1.0)
            return [hot(o), cold(o)]
        """).check()
    assert out.result == [11, 11]
    assert normalize(out.log) == [
        ["call", "<function hot>", ["<O>"], {}, "#1"],
        ["global", 10, "G"],
        ["ret", 11, "#1"],
        ["call", "<function cold>", ["<O>"], {}, "#2"],
        ["attr", "<O>", "a", 1],
        ["global", 10, "G"],
        ["ret", 11, "#2"],
    ]


def test_failed_loads_report_nothing_and_raise_as_usual():
    stock, out = run_both("""
        class O:
            __slots__ = ("a",)
        def recorded(o):
            msgs = []
            try:
                o.a
            except AttributeError as e:
                msgs.append(str(e))
            try:
                undefined_name
            except NameError as e:
                msgs.append(str(e))
            try:
                o.nope()
            except AttributeError as e:
                msgs.append(str(e))
            return msgs
        def main():
            return recorded(O())
        """)
    assert out.result == stock.result and len(out.result) == 3
    assert out.log[0][0] == "call" and out.log[-1][0] == "ret"
    # Only the three successful loads of msgs.append are reported.
    assert [e[2:] for e in calls(out.log, "attr")] == \
        [["append", "<descriptor list.append>"]] * 3
    assert calls(out.log, "global") == []


def test_nothing_is_reported_outside_recorded_calls():
    out = run_program("""
        G = 1
        def not_project_looking():
            return G
        def main():
            total = 0
            for i in range(50):
                total += len(str(i)) + G + abs(-i)
            interceptor.set_collecting_rate(0.0)
            total += not_project_looking()
            return total
        """).check()
    assert out.log == []
