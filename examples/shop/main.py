"""Fills a cart, prints a receipt, and tries an item that does not exist."""

import sys

from shop.cart import Cart, receipt
from shop.catalogue import UnknownItem, load_catalogue


def main(argv):
    catalogue = load_catalogue()
    cart = Cart(catalogue)
    cart.add("A-100", 6)
    cart.add("B-200")
    cart.add("T-300", 2)
    print(receipt(cart))
    try:
        cart.add("Z-999")
    except UnknownItem as exc:
        print(f"not in the catalogue: {exc}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
