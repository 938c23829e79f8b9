"""The end-to-end scenarios; every module here is loaded by the runner."""
