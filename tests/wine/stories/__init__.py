"""The demo's stories; every module here is loaded by tests/wine/demo.py."""
