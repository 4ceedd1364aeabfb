"""The Python half of the detection and privacy reports: scikit-learn and
numpy on the entity features that SequenceTransformer computes natively.
Not part of the public interface: call st.detection and st.privacy."""

import numpy as np
import pandas as pd

# Beyond this many entities a side is subsampled (seeded): the reports then
# take seconds at any size, and the table says so.
MAX_ENTITIES = 5000
# Rebuilt entities measured against the reference sets per block of the
# distance computation, so that a block stays within a few MiB.
DISTANCE_BLOCK = 1 << 22

EXTRA_HINT = "pip install 'veltrano-transformer[report]'"


def _sklearn():
    try:
        import sklearn  # noqa: F401
    except ImportError as exc:
        raise ImportError("detection needs scikit-learn, which comes with the report extra: %s" % EXTRA_HINT) from exc


def _shared_columns(*frames):
    """The features every frame has, in the first frame's order, without
    those no entity of the first frame has a value for."""
    first = frames[0]
    columns = [c for c in first.columns if all(c in f.columns for f in frames[1:])]
    return [c for c in columns if first[c].notna().any()]


def _subsample(frame, n, rng):
    if len(frame) <= n:
        return frame
    return frame.iloc[np.sort(rng.choice(len(frame), size=n, replace=False))]


def _check_cap(max_entities):
    if isinstance(max_entities, bool) or not isinstance(max_entities, (int, np.integer)) or max_entities < 2:
        raise ValueError("max_entities must be a whole number of at least 2, not %r" % (max_entities,))


def _models(random_state, entities):
    from sklearn.ensemble import HistGradientBoostingClassifier
    from sklearn.impute import SimpleImputer
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    return {
        # Stopping early on a tenth held out saves most of the fitting time on
        # many entities; on few, that tenth is too small to judge by.
        "gradient boosting": HistGradientBoostingClassifier(early_stopping=entities > 2000, random_state=random_state),
        "linear": make_pipeline(SimpleImputer(strategy="median"), StandardScaler(),
                                LogisticRegression(max_iter=2000)),
    }


def _importance_rows(model, X, y, names, real, rebuilt, random_state, top=10, most=1500):
    """Permutation importance on a held-out stratified third (at most `most`
    entities: each repeat predicts it once per feature), fitted on the rest."""
    from sklearn.inspection import permutation_importance
    from sklearn.model_selection import train_test_split

    X_fit, X_test, y_fit, y_test = train_test_split(X, y, test_size=1 / 3, stratify=y, random_state=random_state)
    if len(y_test) > most:
        X_test, _, y_test, _ = train_test_split(X_test, y_test, train_size=most, stratify=y_test,
                                                random_state=random_state)
    model.fit(X_fit, y_fit)
    result = permutation_importance(model, X_test, y_test, scoring="roc_auc", n_repeats=3,
                                    random_state=random_state)
    order = np.argsort(-result.importances_mean, kind="stable")[:top]
    return [("importance", names[i], float(result.importances_mean[i]), float(result.importances_std[i]),
             float(real[names[i]].mean()), float(rebuilt[names[i]].mean())) for i in order]


def detection(real, rebuilt, random_state=0, max_entities=MAX_ENTITIES, repeats=3):
    _sklearn()
    from sklearn.model_selection import RepeatedStratifiedKFold, cross_val_score

    _check_cap(max_entities)
    if isinstance(repeats, bool) or not isinstance(repeats, (int, np.integer)) or repeats < 1:
        raise ValueError("repeats must be a whole number of at least 1, not %r" % (repeats,))
    names = _shared_columns(real, rebuilt)
    n = min(len(real), len(rebuilt), max_entities)
    if n < 5:
        raise ValueError("detection needs at least 5 entities on each side (real has %d, rebuilt %d)"
                         % (len(real), len(rebuilt)))
    rng = np.random.RandomState(random_state)
    a, b = _subsample(real[names], n, rng), _subsample(rebuilt[names], n, rng)
    X = np.vstack([a.to_numpy(dtype=float), b.to_numpy(dtype=float)])
    y = np.r_[np.zeros(n, dtype=int), np.ones(n, dtype=int)]
    cv = RepeatedStratifiedKFold(n_splits=5, n_repeats=repeats, random_state=random_state)
    rows = []
    for label, model in _models(random_state, len(y)).items():
        scores = cross_val_score(model, X, y, cv=cv, scoring="roc_auc")
        rows.append(("ROC AUC", label, float(scores.mean()), float(scores.std()), np.nan, np.nan))
    capped = max(len(real), len(rebuilt)) > max_entities
    rows.append(("entities", "used", float(max_entities) if capped else np.nan, np.nan, float(n), float(n)))
    rows += _importance_rows(_models(random_state, len(y))["gradient boosting"], X, y, names, a, b, random_state)
    return pd.DataFrame(rows, columns=["measure", "name", "value", "spread", "real", "rebuilt"])



def nearest_distances(points, reference):
    """The Euclidean distance from each point to its nearest reference point,
    by blocks of points (vectorised within a block)."""
    ref_sq = np.einsum("ij,ij->i", reference, reference)
    block = max(1, DISTANCE_BLOCK // max(1, len(reference)))
    out = np.empty(len(points))
    for start in range(0, len(points), block):
        p = points[start:start + block]
        sq = np.einsum("ij,ij->i", p, p)[:, None] + ref_sq[None, :] - 2.0 * (p @ reference.T)
        out[start:start + block] = np.sqrt(np.maximum(sq.min(axis=1), 0.0))
    return out


def privacy(train, holdout, rebuilt, copies, random_state=0, max_entities=MAX_ENTITIES):
    _check_cap(max_entities)
    names = _shared_columns(train, holdout, rebuilt)
    if min(len(train), len(holdout), len(rebuilt)) < 1:
        raise ValueError("privacy needs entities in train, holdout and rebuilt")
    # Train and holdout the same size, so that 0.5 means no memorisation.
    n = min(len(train), len(holdout), max_entities)
    rng = np.random.RandomState(random_state)
    t, h = _subsample(train, n, rng), _subsample(holdout, n, rng)
    r = _subsample(rebuilt, max_entities, rng)
    values = train[names].to_numpy(dtype=float)
    mean, scale = np.nanmean(values, axis=0), np.nanstd(values, axis=0)
    keep = scale > 0
    names = [c for c, k in zip(names, keep) if k]
    mean, scale = mean[keep], scale[keep]
    points = [np.nan_to_num((f[names].to_numpy(dtype=float) - mean) / scale, nan=0.0) for f in (t, h, r)]
    to_train = nearest_distances(points[2], points[0])
    to_holdout = nearest_distances(points[2], points[1])
    share = float(np.mean(to_train < to_holdout) + 0.5 * np.mean(to_train == to_holdout))
    capped = max(len(train), len(holdout), len(rebuilt)) > max_entities
    rows = [
        ("DCR share", share),
        ("median distance to train", float(np.median(to_train))),
        ("median distance to holdout", float(np.median(to_holdout))),
        ("exact copies", float(copies)),
        ("rebuilt entities", float(len(r))),
        ("train entities", float(len(t))),
        ("holdout entities", float(len(h))),
        ("entity cap", float(max_entities) if capped else np.nan),
    ]
    return pd.DataFrame(rows, columns=["measure", "value"])
