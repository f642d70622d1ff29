"""Exceptions raised by the collector's own components."""


class ProblematicPickleException(Exception):
    """A value cannot be pickled without running the user's own code.

    Raised by the safe pickler; the message quotes the offending class so that
    the recorder can name it in its unpicklable-value report.
    """
