"""Namespace of the fake intraday-bars package."""
