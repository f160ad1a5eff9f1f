"""Technical indicators: overlap (moving averages), volume, and the series utilities."""
