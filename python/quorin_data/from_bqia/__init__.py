"""The query service: its connection and local stand-in (bql), and the
query-service utilities (querywork)."""
