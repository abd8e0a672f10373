# Runs when any Python process of the test suite starts (conftest puts this
# folder on PYTHONPATH): the feature extractor's test hooks, see
# velmora_test_hooks.
import velmora_test_hooks

velmora_test_hooks.install()
