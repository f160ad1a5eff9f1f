"""Technical indicators: overlap (moving averages), volume, and the series utilities;
`grouped` computes them per group of rows (per security, per event window) in one call."""
from quorin_data.ta._grouped import grouped  # noqa: F401
