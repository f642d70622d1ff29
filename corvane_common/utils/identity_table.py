"""Values looked up by an object's identity, for as long as the object lives."""

import weakref


class IdentityTable:
    """Maps live objects, by ``id()``, to values.

    For keys whose hashing is costly (code objects hash their whole content)
    or whose equality is not identity.  Each entry holds a weak reference
    whose callback drops the entry when the object dies, before its id can be
    reused; every hit also checks that the reference still points at the
    object asked about.  (A WeakKeyDictionary would build a weak reference at
    every lookup.)  Keys must accept weak references.
    """

    __slots__ = ("_entries", "__weakref__")

    def __init__(self):
        self._entries = {}

    def get(self, obj):
        """The value stored for ``obj``, or None."""
        entry = self._entries.get(id(obj))
        if entry is not None and entry[0]() is obj:
            return entry[1]
        return None

    def put(self, obj, value):
        key = id(obj)
        self._entries[key] = (weakref.KeyedRef(obj, self._forget, key), value)

    def clear(self):
        self._entries.clear()

    def __len__(self):
        return len(self._entries)

    def _forget(self, ref):
        # Runs from the deallocation of the key; it must never raise.
        try:
            entry = self._entries.get(ref.key)
            if entry is not None and entry[0] is ref:
                del self._entries[ref.key]
        except BaseException:
            pass
