from datetime import date

from shop.cart import Cart, format_amount, receipt
from shop.catalogue import load_catalogue


def _cart():
    cart = Cart(load_catalogue())
    cart.add("A-100", 6)
    cart.add("T-300", 2)
    return cart


def test_totals():
    cart = _cart()
    assert (cart.subtotal(), cart.vat(), cart.total()) == (4268, 779, 5047)


def test_receipt_lists_every_line():
    text = receipt(_cart(), date(2024, 1, 2))
    assert text.splitlines()[0] == "Receipt 2024-01-02"
    assert "TOTAL 50.47 EUR" in text


def test_format_amount():
    assert format_amount(705) == "7.05 EUR"
