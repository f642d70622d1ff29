"""A small shop: catalogue, carts and receipts (the collector's bundled example)."""
