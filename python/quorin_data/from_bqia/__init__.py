"""The query service: its connection and local stand-in (bql)."""
