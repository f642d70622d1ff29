"""Log filtering shared by the interceptor scenario tests."""


def entries(log, *kinds):
    """Log entries of the given kinds, without the thread name."""
    return [list(e[1:]) for e in log if not kinds or e[1] in kinds]
