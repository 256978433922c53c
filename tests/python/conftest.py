import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("dev", max_examples=100, deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")
