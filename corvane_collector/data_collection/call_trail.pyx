# Per-thread bookkeeping of the recorded call that is running and of the
# external calls each recorded call makes.

import threading

from corvane_collector.data_collection.call_model import ExternalFunctionMetadata
from corvane_collector.configs.run_settings import CollectorSettings


class CallTrailTracker:
    "\n    Follows the run of one recorded function and records all the external calls the function makes.\n"

    def __init__(self, str func_full_name):
        """
        :param func_full_name: full name of the recorded function
        :type func_full_name: str
        """
        self.recorded_functions = []
        self.globals = {}
        self.caller_function = None
        self.unknown_modules = set()
        self.last_call = None
        self.func_full_name = func_full_name

    def add_external_module_call(self, function_call):
        """
        Adds external module to function call (used to mock it on the test processor end).

        :param function_call: the external call record to keep
        :type function_call: ExternalFunctionMetadata
        :return: True if reached max external calls, False otherwise
        """
        # The limit is read at every call so that a changed setting applies at once.
        if len(self.recorded_functions) >= CollectorSettings.external_calls_max:
            return True
        self.recorded_functions.append(function_call)
        self.last_call = function_call
        return False


CallTrailTracker.__init__.__annotations__ = {'func_full_name': 'str', 'return': None}
CallTrailTracker.add_external_module_call.__annotations__ = {
    'function_call': ExternalFunctionMetadata,
    'return': bool,
}


class CallTrail:
    """
    Maps each thread id to the recorded function currently running on it. The
    mapping assumes the user code runs synchronously on each thread, so it does
    not follow asyncio tasks that interleave on one thread.
    """

    # Other modules bind methods of these dicts once; they are mutated, never rebound.
    thread_id_to_current_call = {}
    tid_to_external_call = {}
    current_running_function = None

    @staticmethod
    def set_current_running_function(func):
        """
        :param func: the tracker of the recorded call now running on this thread
        :type func: CallTrailTracker
        """
        CallTrail.thread_id_to_current_call[threading.get_ident()] = func

    @staticmethod
    def get_last_recording():
        """
        :return: the tracker of the last recording on this thread, or None
        """
        return CallTrail.tid_to_external_call.get(threading.get_ident(), None)

    @staticmethod
    def set_last_recording(func):
        """
        :param func: the tracker of the last recording on this thread
        :type func: CallTrailTracker
        """
        CallTrail.tid_to_external_call[threading.get_ident()] = func


CallTrail.set_current_running_function.__annotations__ = {'func': CallTrailTracker, 'return': None}
CallTrail.get_last_recording.__annotations__ = {'return': CallTrailTracker}
CallTrail.set_last_recording.__annotations__ = {'func': CallTrailTracker, 'return': None}


__test__ = {}
