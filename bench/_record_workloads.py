"""Whole programs for bench/record_cost.py --workloads: the project whose calls are recorded.

Call-dense code is where a recorder's cost per call shows: every function
here is a project function, so at rate 1.0 each of its calls is recorded.
Each workload takes a few milliseconds under the stock interpreter (2 to 10 ms here).
"""

import math


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def w_recursion():
    return fib(20)


class Vec:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def dot(self, other):
        return self.x * other.x + self.y * other.y

    def scaled(self, k):
        return Vec(self.x * k, self.y * k)

    def norm(self):
        return math.sqrt(self.dot(self))


def w_small_methods():
    a, b = Vec(1.5, 2.0), Vec(-0.5, 4.0)
    total = 0.0
    for _ in range(6000):
        total += a.dot(b) + b.norm()
    return total


class Stock:
    def __init__(self, sku, count=0):
        self.sku = sku
        self.count = count
        self.moves = []

    def receive(self, n):
        self.moves.append(n)
        self.count += n
        return self.count


def w_objects():
    items = [Stock("sku%d" % i, i) for i in range(1500)]
    for item in items:
        item.receive(5)
        item.receive(7)
    return sum(item.count for item in items)


def make_adder(k):
    def add(x):
        return x + k
    return add


def w_closures():
    adders = [make_adder(k) for k in range(40)]
    total = 0
    for i in range(300):
        for add in adders:
            total = add(total) % 1000003
    return total


def clamp(value, low, high):
    return low if value < low else high if value > high else value


def w_loop_calls():
    total = 0
    for i in range(20000):
        total += clamp(i % 97, 10, 80)
    return total


def tokenize(text):
    return [word.strip(".,").lower() for word in text.split()]


def count_words(words):
    counts = {}
    for word in words:
        counts[word] = counts.get(word, 0) + 1
    return counts


def w_text():
    text = "The quick brown fox jumps over the lazy dog, and the dog sleeps. " * 20
    result = {}
    for _ in range(150):
        result = count_words(tokenize(text))
    return len(result)


def merge(left, right):
    out, i, j = [], 0, 0
    while i < len(left) and j < len(right):
        if left[i] <= right[j]:
            out.append(left[i])
            i += 1
        else:
            out.append(right[j])
            j += 1
    return out + left[i:] + right[j:]


def merge_sort(items):
    if len(items) <= 1:
        return items
    mid = len(items) // 2
    return merge(merge_sort(items[:mid]), merge_sort(items[mid:]))


def w_sorting():
    data = [(i * 7919) % 2003 for i in range(2000)]
    return merge_sort(data)[:3]


def parse_record(line):
    name, qty, price = line.split(";")
    return {"name": name, "qty": int(qty), "price": float(price)}


def total_of(records):
    return sum(r["qty"] * r["price"] for r in records)


def w_parsing():
    lines = ["item%d;%d;%d.25" % (i, i % 9, i % 50) for i in range(4000)]
    return total_of([parse_record(line) for line in lines])


WORKLOADS = [
    ("recursion", w_recursion),
    ("small_methods", w_small_methods),
    ("objects", w_objects),
    ("closures", w_closures),
    ("loop_calls", w_loop_calls),
    ("text", w_text),
    ("sorting", w_sorting),
    ("parsing", w_parsing),
]
