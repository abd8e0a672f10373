import os
import sys

from hypothesis import HealthCheck, settings

# Make the helper module importable whatever directory pytest runs from.
sys.path.insert(0, os.path.dirname(__file__))

settings.register_profile(
    "velmora",
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
    print_blob=True,
)
settings.load_profile("velmora")
