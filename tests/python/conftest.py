import os
import sys

from hypothesis import HealthCheck, settings

# Make the helper module importable whatever directory pytest runs from.
sys.path.insert(0, os.path.dirname(__file__))

# The feature extractor's test hooks, in this process and, through
# site_hooks/sitecustomize.py, in every Python process that a test starts.
_HOOKS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "site_hooks")
sys.path.insert(0, _HOOKS)
os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (_HOOKS, os.environ.get("PYTHONPATH")) if p)
import velmora_test_hooks  # noqa: E402

velmora_test_hooks.install()

settings.register_profile(
    "velmora",
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
    print_blob=True,
)
settings.load_profile("velmora")
