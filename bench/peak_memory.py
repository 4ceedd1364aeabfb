"""Peak resident size of the running process, shared by the benchmark scripts."""
import resource


def peak_mib():
    # Linux reports KiB.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def reset_peak():
    """Restart the peak at the current size; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False
