import json

# Globals that the recorded functions read.
CURRENCY = "EUR"
VAT_RATES = {"food": 0.07, "book": 0.07, "tool": 0.19}

_CATALOGUE_JSON = """
[
  {"sku": "A-100", "name": "apple", "kind": "food", "price": "0.45"},
  {"sku": "B-200", "name": "novel", "kind": "book", "price": "12.90"},
  {"sku": "T-300", "name": "hammer", "kind": "tool", "price": "19.99"}
]
"""


class UnknownItem(KeyError):
    """Asked for a stock-keeping unit that the catalogue does not have."""


class Item:
    def __init__(self, sku, name, kind, price):
        self.sku = sku
        self.name = name
        self.kind = kind
        self.price = price

    def vat_rate(self):
        return VAT_RATES[self.kind]

    def __repr__(self):
        return f"Item({self.sku!r}, {self.name!r})"


def parse_price(text):
    euros, _, cents = text.partition(".")
    return int(euros) * 100 + int(cents.ljust(2, "0"))


def load_catalogue():
    items = {}
    for entry in json.loads(_CATALOGUE_JSON):
        items[entry["sku"]] = Item(entry["sku"], entry["name"], entry["kind"],
                                   parse_price(entry["price"]))
    return items


def lookup(items, sku):
    try:
        return items[sku]
    except KeyError:
        raise UnknownItem(sku) from None
