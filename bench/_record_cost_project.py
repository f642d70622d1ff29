"""Project code for bench/record_cost.py: the functions whose calls are recorded."""

import _record_cost_lib as lib

SCALE = 3
OFFSET = 7


def small(a, b):
    return a + b


def ten_external(x):
    total = 0
    total += lib.ident(x)
    total += lib.ident(x)
    total += lib.ident(x)
    total += lib.ident(x)
    total += lib.ident(x)
    total += lib.ident(x)
    total += lib.ident(x)
    total += lib.ident(x)
    total += lib.ident(x)
    total += lib.ident(x)
    return total


class Point:
    def __init__(self):
        self.a = 1
        self.b = 2
        self.c = 3
        self.d = 4
        self.e = 5

    def reads(self, k):
        return (self.a + self.b + self.c + self.d + self.e) * SCALE + OFFSET + k
