"""Running workers on several threads with the GIL handed over as often as possible."""
import sys
import threading


def run_in_threads(target, args_list, switch_interval=1e-6):
    """Run `target(*args)` for each args on its own thread, all at once, and wait for all."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(switch_interval)
    try:
        threads = [threading.Thread(target=target, args=args) for args in args_list]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
