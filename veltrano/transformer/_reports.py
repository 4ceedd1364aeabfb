"""The Python half of the detection and privacy reports: scikit-learn and
numpy on the entity features that SequenceTransformer computes natively
(for at most max_entities entities per side, drawn there, seeded).
Not part of the public interface: call st.detection and st.privacy."""

import numpy as np
import pandas as pd

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


def _repeats(repeats, entities):
    if repeats is None:
        # On many entities the folds already agree closely; one round keeps
        # the report within seconds.
        return 3 if entities <= 2000 else 1
    if isinstance(repeats, bool) or not isinstance(repeats, (int, np.integer)) or repeats < 1:
        raise ValueError("repeats must be a whole number of at least 1, not %r" % (repeats,))
    return int(repeats)


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


def detection(real, rebuilt, random_state=0, repeats=None, cap=None):
    """real, rebuilt: the features of as many entities each (subsampled
    natively); cap: the entity cap where it cut a side, else None."""
    _sklearn()
    from sklearn.model_selection import RepeatedStratifiedKFold, cross_val_score

    n = len(real)
    repeats = _repeats(repeats, n)
    if n < 5:
        raise ValueError("detection needs at least 5 entities on each side (here %d)" % n)
    names = _shared_columns(real, rebuilt)
    X = np.vstack([real[names].to_numpy(dtype=float), rebuilt[names].to_numpy(dtype=float)])
    y = np.r_[np.zeros(n, dtype=int), np.ones(len(rebuilt), dtype=int)]
    cv = RepeatedStratifiedKFold(n_splits=5, n_repeats=repeats, random_state=random_state)
    rows = []
    for label, model in _models(random_state, len(y)).items():
        scores = cross_val_score(model, X, y, cv=cv, scoring="roc_auc")
        rows.append(("ROC AUC", label, float(scores.mean()), float(scores.std()), np.nan, np.nan))
    rows.append(("entities", "used", np.nan if cap is None else float(cap), np.nan, float(n), float(len(rebuilt))))
    rows += _importance_rows(_models(random_state, len(y))["gradient boosting"], X, y, names, real, rebuilt,
                             random_state)
    return pd.DataFrame(rows, columns=["measure", "name", "value", "spread", "real", "rebuilt"])


def nearest_distances(points, reference):
    """The Euclidean distance from each point to its nearest reference point,
    by blocks of points (vectorised within a block). The nearest is found on
    the expanded squares, then its distance taken directly, so that a copy
    is at distance 0 exactly."""
    ref_sq = np.einsum("ij,ij->i", reference, reference)
    block = max(1, DISTANCE_BLOCK // max(1, len(reference)))
    out = np.empty(len(points))
    for start in range(0, len(points), block):
        p = points[start:start + block]
        sq = np.einsum("ij,ij->i", p, p)[:, None] + ref_sq[None, :] - 2.0 * (p @ reference.T)
        nearest = reference[sq.argmin(axis=1)]
        out[start:start + block] = np.sqrt(np.einsum("ij,ij->i", p - nearest, p - nearest))
    return out


def privacy(train, holdout, rebuilt, copies, cap=None):
    """train, holdout (as many entities each), rebuilt: features subsampled
    natively; copies: the exact copies over all entities; cap: the entity
    cap where it cut a side, else None."""
    if min(len(train), len(holdout), len(rebuilt)) < 1:
        raise ValueError("privacy needs entities in train, holdout and rebuilt")
    names = _shared_columns(train, holdout, rebuilt)
    values = train[names].to_numpy(dtype=float)
    mean, scale = np.nanmean(values, axis=0), np.nanstd(values, axis=0)
    keep = scale > 0
    names = [c for c, k in zip(names, keep) if k]
    mean, scale = mean[keep], scale[keep]
    # A missing feature sits at train's mean, so it adds nothing to a distance.
    points = [np.nan_to_num((f[names].to_numpy(dtype=float) - mean) / scale, nan=0.0) for f in (train, holdout, rebuilt)]
    to_train = nearest_distances(points[2], points[0])
    to_holdout = nearest_distances(points[2], points[1])
    share = float(np.mean(to_train < to_holdout) + 0.5 * np.mean(to_train == to_holdout))
    rows = [
        ("DCR share", share),
        ("median distance to train", float(np.median(to_train))),
        ("median distance to holdout", float(np.median(to_holdout))),
        ("exact copies", float(copies)),
        ("rebuilt entities", float(len(rebuilt))),
        ("train entities", float(len(train))),
        ("holdout entities", float(len(holdout))),
        ("entity cap", np.nan if cap is None else float(cap)),
    ]
    return pd.DataFrame(rows, columns=["measure", "value"])
