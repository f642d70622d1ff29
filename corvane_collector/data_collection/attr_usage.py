"""Attribute usage observed while recording.

``used_attributes`` maps ``id(obj)`` of an object reached from a recorded
call's globals to the set of attribute names the call read from it.  The
attribute-load hook of the recorder is its only writer; the safe pickler reads
it to reduce such objects to the attributes that were actually used.
"""

used_attributes = {}
