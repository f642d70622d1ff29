"""The recorder a user would otherwise write: sys.setprofile plus the standard pickle.

For every call of a function defined in one of the project files it pickles
the arguments at entry, and at return the arguments again, the result, and
the results of the Python-level calls the function made outside the project
(the C-level calls are noted by name: a profile function does not see their
results).  The finished record is pickled and handed to a sink, like the
collector's records.  It is the baseline of bench/record_cost.py.
"""

import pickle
import sys
import threading

_HIGHEST = pickle.HIGHEST_PROTOCOL


def _dump(value):
    try:
        return pickle.dumps(value, _HIGHEST)
    except Exception as e:  # unpicklable: keep a description, as the collector does
        return pickle.dumps(("unpicklable", type(value).__qualname__, str(e)), _HIGHEST)


def _arguments(frame):
    code = frame.f_code
    n = code.co_argcount + code.co_kwonlyargcount
    if code.co_flags & 0x04:
        n += 1
    if code.co_flags & 0x08:
        n += 1
    local = frame.f_locals
    return {name: local[name] for name in code.co_varnames[:n] if name in local}


class SetprofileRecorder:
    def __init__(self, project_files, sink):
        self.project_files = frozenset(project_files)
        self.sink = sink
        self.local = threading.local()

    def _stack(self):
        stack = getattr(self.local, "stack", None)
        if stack is None:
            stack = self.local.stack = []
        return stack

    def profile(self, frame, event, arg):
        stack = self._stack()
        if event == "call":
            code = frame.f_code
            if code.co_filename in self.project_files:
                stack.append(["user", frame, code.co_name, _dump(_arguments(frame)), []])
            elif stack and stack[-1][0] == "user" and frame.f_back is stack[-1][1]:
                stack.append(["external", frame, code.co_name])
        elif event == "return":
            if not stack or stack[-1][1] is not frame:
                return
            entry = stack.pop()
            if entry[0] == "external":
                if stack:
                    stack[-1][4].append((entry[2], _dump(arg)))
                return
            _, frame, name, pre_args, external = entry
            record = {
                "function": name,
                "pre_args": pre_args,
                "post_args": _dump(_arguments(frame)),
                "return_value": _dump(arg),
                "external_calls": external,
            }
            self.sink.send_message(pickle.dumps(record, _HIGHEST))
            if stack and stack[-1][0] == "user":
                stack[-1][4].extend(external)
        elif event == "c_call":
            if stack and stack[-1][0] == "user" and stack[-1][1] is frame:
                stack[-1][4].append((getattr(arg, "__qualname__", "?"), None))

    def start(self):
        threading.setprofile(self.profile)
        sys.setprofile(self.profile)

    def stop(self):
        sys.setprofile(None)
        threading.setprofile(None)
