"""Utilities for carrying live objects through serialisers."""
