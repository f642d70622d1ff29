import pytest

from shop.catalogue import UnknownItem, load_catalogue, lookup, parse_price


@pytest.mark.parametrize("text, cents", [("0.45", 45), ("12.9", 1290), ("19.99", 1999), ("3", 300)])
def test_parse_price(text, cents):
    assert parse_price(text) == cents


def test_lookup_finds_and_refuses():
    catalogue = load_catalogue()
    assert lookup(catalogue, "B-200").name == "novel"
    with pytest.raises(UnknownItem):
        lookup(catalogue, "Z-999")
