"""What the module knows about how a collection's rows are spread over its
partitions, keyed by the collection's graph name (a persisted collection
keeps its name; any other operation gives a collection without a layout).

- "whole": every group of the columns `by` lies in one partition.
- "chunked": partition i holds one group of `by` (`groups[i]`); a group's
  partitions are consecutive and in time order (date chunks).
- "windows": event windows of filter_bars_around_events, each window of
  (EVENT_NAME, event_datetime, key) in exactly one partition.
"""
from dataclasses import dataclass

WINDOW = ("EVENT_NAME", "event_datetime", "key")


@dataclass(frozen=True)
class Layout:
    kind: str
    by: tuple
    groups: tuple = ()
    bounds: tuple = ()  # chunked: each partition's first instant (or None)


_LAYOUTS = {}


def by_columns(by):
    if isinstance(by, str):
        return (by,)
    if isinstance(by, (list, tuple)) and by and all(isinstance(c, str) for c in by):
        return tuple(by)
    raise TypeError(f"Argument 'by' has incorrect type (expected str or list of str, got {type(by).__name__})")


def remember(ddf, kind, by, groups=(), bounds=()):
    _LAYOUTS[ddf._name] = Layout(kind, by_columns(by), tuple(groups), tuple(bounds))
    return ddf


def layout_of(ddf):
    return _LAYOUTS.get(ddf._name)


def groups_whole(ddf, by):
    """True when every group of `by` is known to lie in one partition."""
    lay = layout_of(ddf)
    if lay is None:
        return False
    if lay.kind == "chunked":
        return len(set(lay.groups)) == len(lay.groups) and set(lay.by) <= set(by)
    if lay.kind == "windows":
        return set(WINDOW) <= set(by)
    return set(lay.by) <= set(by)


def whole_groups(ddf, by="key", *, assume=False):
    """The collection with every group of `by` in one partition: shuffled on
    `by` (Dask's task shuffle; row order inside a partition is not kept,
    which every function of this module sorts for itself), or, with
    `assume`, the collection itself declared so by the caller (nothing is
    checked)."""
    by = by_columns(by)
    missing = [c for c in by if c not in ddf.columns]
    if missing:
        raise KeyError(f"column {missing[0]!r} is not in the collection")
    out = ddf if assume else ddf.shuffle(list(by), shuffle="tasks")
    return remember(out, "whole", by)
