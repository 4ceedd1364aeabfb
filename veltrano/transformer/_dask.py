"""SequenceTransformer on Dask: the class hands dask collections here.

Forward: one shuffle by entity id, the facts of every partition combined by a
tree reduction, then the table pass on every partition. Reverse: the plan is
dealt from per-partition row-count histograms; entity rows and steps then
meet by pool (the nearest row count with steps) in one shuffle each, every
pool's steps whole and in table order wherever its entities are, and each
partition is rebuilt natively. Every entity keeps the number it has in the pandas plan,
and so its id and its random stream: the rows equal the pandas route's.
"""
from collections import namedtuple

import numpy as np
import pandas as pd

EXTRA = "pip install veltrano-transformer[dask] (or pip install '.[dask]' from a checkout)"

# Sort keys of the reverse shuffles: a partition number above a row or plan number.
SHIFT = 40
# Facts of this many partitions are combined by one task.
FAN_IN = 8


def _dask():
    try:
        import dask
        import dask.dataframe as dd
    except ImportError as error:
        raise ImportError("SequenceTransformer needs dask for dask frames: " + EXTRA) from error
    return dask, dd


def _free(columns, base):
    """A column name not among columns."""
    taken = set(columns)
    name, i = base, 0
    while name in taken:
        i += 1
        name = "%s_%d" % (base, i)
    return name


def _shuffle_method(columns):
    # The default (p2p on a cluster) moves str-labelled columns only.
    return None if all(isinstance(c, str) for c in columns) else "tasks"


def _persist_where_distributed(frame):
    """Kept in the workers' memory when a distributed client runs the graph,
    so that a second pass over it does not shuffle again."""
    try:
        from distributed import default_client

        default_client()
    except (ImportError, ValueError):
        return frame
    return frame.persist()


# ----- forward ----------------------------------------------------------------------------


def _numbered(part, key, partition_info=None):
    first = partition_info["number"] << SHIFT
    return part.assign(**{key: np.arange(first, first + len(part), dtype=np.int64)})


def _in_input_order(part, key):
    order = np.argsort(part[key].to_numpy(), kind="stable")
    return part.iloc[order].drop(columns=key).reset_index(drop=True)


def _by_entity(st, frame):
    """frame shuffled so that each entity is whole in one partition, its rows
    in input order (the native pass breaks ties in time by row order)."""
    if not hasattr(frame, "columns"):
        raise TypeError("expected a pandas or dask DataFrame")
    columns = list(frame.columns)
    if st.columns is not None:
        statics = st.get_params()["static_columns"] or []
        wanted = [st.id_column, st.time_column] + list(st.columns) + list(statics)
        for label in wanted:
            if label not in columns:
                raise KeyError("unknown column '%s'" % (label,))
        frame = frame[[c for c in columns if c in wanted]]
        columns = list(frame.columns)
    if st.id_column not in columns:
        raise KeyError("unknown column '%s'" % (st.id_column,))
    # The column checks of the native pass, on one made-up row.
    st._partition_facts(frame._meta_nonempty.iloc[:1])
    key = _free(columns, "_row")
    numbered = frame.map_partitions(_numbered, key, meta=frame._meta.assign(**{key: np.int64(0)}))
    shuffled = numbered.shuffle(on=st.id_column, ignore_index=True, shuffle_method=_shuffle_method(columns))
    return shuffled.map_partitions(_in_input_order, key, meta=frame._meta)


def _partition_facts(st, part):
    return st._partition_facts(part) if len(part) else None


def _combine(st, facts):
    facts = [f for f in facts if f is not None]
    return type(st)._combine_facts(facts) if facts else None


def _fit(st, shuffled):
    dask, _ = _dask()
    facts = [dask.delayed(_partition_facts)(st, p) for p in shuffled.to_delayed()]
    while len(facts) > 1:
        facts = [dask.delayed(_combine)(st, facts[i : i + FAN_IN]) for i in range(0, len(facts), FAN_IN)]
    combined = dask.compute(dask.delayed(_combine)(st, facts))[0]
    if combined is None:
        raise ValueError("the frame is empty")
    return st._fit_facts(combined)


def _text_dtypes(st, dask):
    """The tables' category columns in their input column's dtype (booleans as
    nullable booleans; object text as dask's string dtype when dask converts
    text), so that dask and Parquet see typed columns, not Python objects."""
    dtypes = {}
    for column in st._facts["columns"]:
        if column["kind"] != "category":
            continue
        dtype = column["dtype"]
        if pd.api.types.is_bool_dtype(dtype):
            dtype = "boolean"
        elif dtype == object and dask.config.get("dataframe.convert-string", True):
            dtype = pd.StringDtype("pyarrow")
        step = st.step_columns.get(column["name"])
        for name in [column["name"]] + list(step or ()):
            dtypes[name] = dtype
    return dtypes


def _table(part, st, which, empty, dtypes):
    if not len(part):
        return empty
    table = st.transform(part)[which]
    return table.astype({n: d for n, d in dtypes.items() if n in table.columns})


def _tables(st, shuffled):
    dask, _ = _dask()
    dtypes = _text_dtypes(st, dask)
    made_up = st.transform(shuffled._meta_nonempty.iloc[:1])
    meta = [t.iloc[:0].astype({n: d for n, d in dtypes.items() if n in t.columns}) for t in made_up]
    return tuple(shuffled.map_partitions(_table, st, i, meta[i], dtypes, meta=meta[i]) for i in (0, 1))


def fit(st, frame):
    _dask()
    return _fit(st, _by_entity(st, frame))


def transform(st, frame):
    _dask()
    st._require_fitted()
    return _tables(st, _by_entity(st, frame))


def fit_transform(st, frame):
    _dask()
    shuffled = _persist_where_distributed(_by_entity(st, frame))
    _fit(st, shuffled)
    return _tables(st, shuffled)


# ----- the plan, from row-count histograms --------------------------------------------------

# A piece of the plan that one entity partition holds: its rows of row count
# `count` ranked lo to hi - 1 among them, rebuilt with `rows` rows each, the
# first numbered `first` in the plan.
Piece = namedtuple("Piece", "count lo hi rows first")
# A block of consecutive plan numbers [first, end) rebuilt with `rows` rows
# each: `cells` rows to build in all.
Block = namedtuple("Block", "first end rows cells")
# Where a task's rows go: kind "pools" or "replay", its look-up table, and
# the number of partitions (replay: the last step row replayed).
Route = namedtuple("Route", "kind table size")


def _replay_bounds(plan, parts):
    """Replay takes the steps in table order: partitions of consecutive plan
    numbers, and the first step row each replays."""
    if plan.runs is None:
        # The plan is the table itself: one partition per entity partition.
        bounds = plan.offsets[:-1]
    else:
        bounds = np.unique(np.linspace(0, plan.total, parts + 1).astype(np.int64)[:-1])
    starts, done = [], 0
    for block in plan.blocks:
        for b in bounds[len(starts) :]:
            if b >= block.end:
                break
            # Blocks of a partition's own rows start at its first number.
            starts.append(done + (b - block.first) * (block.rows - 1))
        done += block.cells - block.cells // block.rows
    # Partitions after the last entity replay nothing.
    starts += [done] * (len(bounds) - len(starts))
    return bounds, np.array(starts, dtype=np.int64)


def _row_count_summary(st, counts, steps):
    """A partition's length and histogram of row counts, from its count column alone."""
    return len(counts), np.bincount(st._row_counts(counts, steps=steps))


def _count_parts(dask, frame, parts, count):
    """Each partition's count column, read alone. The plan needs the frame's
    own partitions: where projecting fused some, the column is taken in them."""
    alone = frame[[count]].to_delayed()
    return alone if len(alone) == len(parts) else [dask.delayed(lambda p: p[[count]])(p) for p in parts]


def _pool_units(blocks, pools, pool_steps, parts):
    """Partitions for the pools. blocks: Blocks in plan order. A pool with more rows to build than a partition's
    share is split by plan number into chunks that each get all its steps;
    the chunks then fill partitions of similar load in pool order. Returns
    {pool: (chunk start numbers, their partitions)} and the partition count."""
    blocks_of, rows_of = {}, {}
    for block in blocks:
        pool = pools[block.rows]
        blocks_of.setdefault(pool, []).append(block)
        rows_of[pool] = rows_of.get(pool, 0) + block.cells
    target = max((sum(rows_of.values()) + sum(pool_steps[p] for p in rows_of)) / max(parts, 1), 1.0)
    units = []
    for pool in sorted(rows_of):
        m = max(1, int(round(rows_of[pool] / target)))
        share, cuts, done = rows_of[pool] / m, [0], 0
        for b in blocks_of[pool]:
            while len(cuts) < m and done + b.cells >= share * len(cuts):
                cuts.append(max(cuts[-1], b.first + int((share * len(cuts) - done) / b.cells * (b.end - b.first))))
            done += b.cells
        units += [(pool, cut, pool_steps[pool] + share) for cut in cuts]
    chunks, part, filled = {}, 0, 0.0
    for pool, cut, load in units:
        if filled >= target:
            part, filled = part + 1, 0.0
        chunks.setdefault(pool, ([], []))
        chunks[pool][0].append(cut)
        chunks[pool][1].append(part)
        filled += load
    return {p: (np.array(c, dtype=np.int64), np.array(q, dtype=np.int64)) for p, (c, q) in chunks.items()}, part + 1


# ----- reverse ----------------------------------------------------------------------------


def _plan_part(part, st, offset, pieces, route, names):
    """The plan entries of one entity partition: its rows as often as the plan
    takes them, with their plan numbers, rebuilt lengths and sort keys."""
    counts = st._row_counts(part)
    if pieces is None:
        rows = np.arange(len(part))
        numbers = offset + rows
        lengths = counts
    else:
        order = np.argsort(counts, kind="stable")
        starts = np.concatenate([[0], np.cumsum(np.bincount(counts, minlength=int(counts.max(initial=0)) + 2))])
        rows = [order[starts[p.count] + p.lo : starts[p.count] + p.hi] for p in pieces]
        numbers = [np.arange(p.first, p.first + p.hi - p.lo) for p in pieces]
        lengths = [np.full(p.hi - p.lo, p.rows) for p in pieces]
        rows, numbers, lengths = (np.concatenate(v).astype(np.int64) if v else np.zeros(0, np.int64) for v in (rows, numbers, lengths))
    out = part.iloc[rows].reset_index(drop=True)
    key, length, number = names
    return out.assign(**{key: _route(route, lengths, numbers), length: lengths, number: numbers})


def _route(route, lengths, numbers):
    if route.kind == "replay":
        target = np.searchsorted(route.table, numbers, side="right") - 1
    else:
        # Single-row entities need no steps: spread over every partition.
        pool_of, chunks = route.table
        target = numbers % route.size
        pool = np.where(lengths >= 2, pool_of[np.minimum(lengths, len(pool_of) - 1)], -1)
        for p, (cuts, part) in chunks.items():
            mine = pool == p
            target[mine] = part[np.searchsorted(cuts, numbers[mine], side="right") - 1]
    return (target.astype(np.int64) << SHIFT) | numbers.astype(np.int64)


def _steps_part(part, st, offset, route, key):
    """The step rows that planned entities need, each with a sort key per
    partition that needs it: its partition above its row in the table."""
    counts = st._row_counts(part, steps=True)
    rows = offset + np.arange(len(part), dtype=np.int64)
    if route.kind == "replay":
        target = np.searchsorted(route.table, rows, side="right") - 1
        picked = np.flatnonzero(rows < route.size)
        target = target[picked]
    else:
        picked, target = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)]
        for pool, parts in route.table.items():
            mine = np.flatnonzero(counts == pool)
            for q in parts:
                picked.append(mine)
                target.append(np.full(len(mine), q, dtype=np.int64))
        picked, target = np.concatenate(picked), np.concatenate(target)
    return part.iloc[picked].reset_index(drop=True).assign(**{key: (target << SHIFT) | rows[picked]})


def _rebuild_part(plan, steps, st, replay, names):
    _, length, number = names
    entities = plan.drop(columns=[length, number]).reset_index(drop=True)
    return st._rebuild(
        entities,
        steps.reset_index(drop=True),
        plan[length].to_numpy(),
        ids=plan[number].to_numpy() + 1,
        replay=replay,
    )


def _as_dask(frame, dd):
    if isinstance(frame, dd.DataFrame):
        return frame
    if not isinstance(frame, pd.DataFrame):
        raise TypeError("expected pandas or dask DataFrames")
    return dd.from_pandas(frame, npartitions=1)


def _booleans_back(st, frame):
    """Dask turns object columns into strings, booleans among them: those of
    boolean columns become booleans again, so that they compare by value."""
    names = []
    for column in st._facts["columns"]:
        if column["kind"] == "category" and pd.api.types.is_bool_dtype(column["dtype"]):
            step = st.step_columns.get(column["name"], ())
            names += [column["name"]] + list(step if isinstance(step, tuple) else ())
    text = [n for n in names if n in frame.columns and isinstance(frame[n].dtype, pd.StringDtype)]
    if not text:
        return frame
    return frame.map_partitions(_unstringified, text, meta=_unstringified(frame._meta, text))


def _unstringified(part, names):
    part = part.copy(deep=False)
    for n in names:
        part[n] = part[n].astype(object).map({"True": True, "False": False})
    return part


class _Plan:
    """The plan as the client holds it: per entity partition, the Pieces it
    contributes (None: every row once, in order), and Blocks in plan order.
    The runs come from the native plan, dealt from the summed histograms."""

    def __init__(self, st, e_len, e_hist, counts):
        self.offsets = np.concatenate([[0], np.cumsum(e_len)])
        if counts is None:
            self.pieces, self.runs = [None] * len(e_len), None
            self.blocks = [Block(self.offsets[p], self.offsets[p + 1], k, int(n) * k)
                           for p in range(len(e_len)) for k, n in enumerate(e_hist[p]) if n]
            self.total = int(e_len.sum())
            return
        self.runs = type(st)._deal(e_hist.sum(axis=0).tolist(), counts)
        before = np.vstack([np.zeros(e_hist.shape[1], np.int64), np.cumsum(e_hist, axis=0)])
        self.pieces, self.blocks, first = [[] for _ in e_len], [], 0
        for c, start, n, k in self.runs:
            self.blocks.append(Block(first, first + n, k, n * k))
            for p in range(len(e_len)):
                lo, hi = max(start, before[p][c]), min(start + n, before[p + 1][c])
                if lo < hi:
                    self.pieces[p].append(Piece(c, lo - before[p][c], hi - before[p][c], k, first + lo - start))
            first += n
        self.total = first

    def lengths(self):
        """{rebuilt length: entities}"""
        out = {}
        for b in self.blocks:
            out[b.rows] = out.get(b.rows, 0) + b.cells // b.rows
        return out


def _histograms(st, dask, e_parts, s_parts):
    """Each partition's length and row-count histogram, of both tables (the
    parts: each partition's count column)."""
    summaries = dask.compute(
        *[dask.delayed(_row_count_summary)(st, p, False) for p in e_parts],
        *[dask.delayed(_row_count_summary)(st, p, True) for p in s_parts],
    )
    longest = max(int(n) for n in st._facts["lengths"])
    out = []
    for part, width in ((summaries[: len(e_parts)], longest + 1), (summaries[len(e_parts) :], max(longest, 2) + 1)):
        out.append(np.array([n for n, _ in part], dtype=np.int64))
        out.append(np.array([np.pad(h, (0, width - len(h))) for _, h in part], dtype=np.int64).reshape(-1, width))
    return out


def _replay_routes(plan, s_len, parts):
    planned = plan.lengths()
    needed = sum((k - 1) * n for k, n in planned.items())
    if needed > s_len.sum():
        raise ValueError("replaying needs %d steps but the steps frame has %d" % (needed, s_len.sum()))
    bounds, step_starts = _replay_bounds(plan, parts)
    return Route("replay", bounds, len(bounds)), Route("replay", step_starts, needed), len(bounds)


def _pool_routes(st, plan, s_hist, parts):
    planned = plan.lengths()
    pool_steps = s_hist.sum(axis=0)
    pools = type(st)._nearest_pools(list(planned), np.flatnonzero(pool_steps).tolist())
    chunks, parts = _pool_units([b for b in plan.blocks if b.rows >= 2], pools, pool_steps, parts)
    pool_of = np.full(max(max(planned), 2) + 1, -1, dtype=np.int64)
    for k, pool in pools.items():
        pool_of[k] = pool
    steps_to = {pool: sorted(set(part.tolist())) for pool, (_, part) in chunks.items()}
    return Route("pools", (pool_of, chunks), parts), Route("pools", steps_to, parts), parts


def reverse_transform(st, entities, steps, counts=None, replay=False):
    dask, dd = _dask()
    st._require_fitted()
    entities, steps = (_booleans_back(st, _as_dask(f, dd)) for f in (entities, steps))
    # The native column and dtype checks, and the result's dtypes, from no rows.
    meta = st._rebuild(entities._meta, steps._meta, [], ids=[])
    e_parts, s_parts = entities.to_delayed(), steps.to_delayed()
    count = st.count_column
    e_len, e_hist, s_len, s_hist = _histograms(
        st, dask, _count_parts(dask, entities, e_parts, count), _count_parts(dask, steps, s_parts, count))
    if e_len.sum() == 0:
        raise ValueError("the entities frame is empty")
    plan = _Plan(st, e_len, e_hist, counts)
    if plan.total == 0:
        return dd.from_pandas(meta, npartitions=1)
    parts = max(len(e_parts), len(s_parts), 1)
    route_e, route_s, parts = _replay_routes(plan, s_len, parts) if replay else _pool_routes(st, plan, s_hist, parts)

    columns = list(entities.columns) + list(steps.columns)
    key = _free(columns, "_key")
    names = (key, _free(columns + [key], "_length"), _free(columns + [key], "_number"))
    s_offsets = np.concatenate([[0], np.cumsum(s_len)])
    plan_parts = [dask.delayed(_plan_part)(p, st, plan.offsets[i], plan.pieces[i], route_e, names) for i, p in enumerate(e_parts)]
    step_parts = [dask.delayed(_steps_part)(p, st, s_offsets[j], route_s, key) for j, p in enumerate(s_parts)]
    # One shuffle each, to exact partitions, sorted by plan number and step row.
    divisions = [i << SHIFT for i in range(parts + 1)]
    method = _shuffle_method(columns)
    plan_frame = dd.from_delayed(plan_parts, meta=entities._meta.assign(**{n: np.int64(0) for n in names}), verify_meta=False)
    step_frame = dd.from_delayed(step_parts, meta=steps._meta.assign(**{key: np.int64(0)}), verify_meta=False)
    plan_frame = plan_frame.set_index(key, divisions=divisions, shuffle_method=method)
    step_frame = step_frame.set_index(key, divisions=divisions, shuffle_method=method)
    return plan_frame.map_partitions(_rebuild_part, step_frame, st, bool(replay), names, meta=meta, align_dataframes=False)
