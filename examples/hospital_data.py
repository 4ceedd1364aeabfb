"""A made-up but plausible table of hospital visit events, built in code.

Every visit owns 1 to 12 rows (events). A visit with two or more events starts
with an admission, ends with a discharge and has labs and medications in
between; a visit with a single event is a walk-in lab test. Heart rate drifts
from a per-visit baseline towards a resting value, and the time between events
depends on what happened last.

The same seed always gives the same frame: RandomState's streams are frozen
across numpy releases, unlike the newer Generator's.
"""

import numpy as np
import pandas as pd

WARDS = ["Cardiology", "Emergency", "General Medicine", "Surgery", "Pediatrics"]
WARD_WEIGHTS = [0.2, 0.3, 0.25, 0.15, 0.1]
# Children's and cardiac patients' heart rates run higher.
WARD_HEART_RATE_OFFSET = {"Cardiology": 8.0, "Emergency": 6.0, "General Medicine": 0.0,
                          "Surgery": 2.0, "Pediatrics": 25.0}

# Share of visits with 1, 2, ..., 12 events.
EVENTS_PER_VISIT_WEIGHTS = [0.10, 0.14, 0.14, 0.13, 0.11, 0.09, 0.08, 0.06, 0.05, 0.04, 0.03, 0.03]

# What follows an admission, a lab or a medication in the middle of a visit.
NEXT_EVENT = {
    "admission": (["lab", "medication"], [0.7, 0.3]),
    "lab": (["lab", "medication"], [0.45, 0.55]),
    "medication": (["lab", "medication"], [0.5, 0.5]),
}
# Mean hours until the next event, by the event that came before.
MEAN_GAP_HOURS = {"admission": 1.5, "lab": 3.0, "medication": 4.0}
MEAN_HOURS_TO_DISCHARGE = 18.0

COST_MEDIAN = {"admission": 900.0, "lab": 80.0, "medication": 45.0, "discharge": 150.0}

YEAR_START = pd.Timestamp("2024-01-01")


def _event_types(n_events, rng):
    if n_events == 1:
        return ["lab"]
    events = ["admission"]
    for _ in range(n_events - 2):
        choices, weights = NEXT_EVENT[events[-1]]
        events.append(choices[rng.choice(len(choices), p=weights)])
    events.append("discharge")
    return events


def make_hospital_visits(n_visits=2000, seed=20240601):
    """Return one row per event: visit_id, event_time, event_type, ward, heart_rate, cost.

    Rows come visit by visit in time order; visit ids start at 1001.
    """
    rng = np.random.RandomState(seed)
    n_events_per_visit = rng.choice(np.arange(1, 13), size=n_visits, p=EVENTS_PER_VISIT_WEIGHTS)
    rows = []
    for i, n_events in enumerate(n_events_per_visit):
        visit_id = 1001 + i
        ward = WARDS[rng.choice(len(WARDS), p=WARD_WEIGHTS)]
        events = _event_types(int(n_events), rng)
        # Admissions arrive at any minute of the year.
        time = YEAR_START + pd.Timedelta(int(rng.randint(0, 366 * 24 * 60)), unit="min")
        heart_rate = rng.normal(88.0, 12.0) + WARD_HEART_RATE_OFFSET[ward]
        resting = 72.0 + WARD_HEART_RATE_OFFSET[ward]
        for j, event in enumerate(events):
            if j > 0:
                if event == "discharge":
                    hours = 2.0 + rng.exponential(MEAN_HOURS_TO_DISCHARGE)
                else:
                    hours = 0.25 + rng.exponential(MEAN_GAP_HOURS[events[j - 1]])
                time = time + pd.Timedelta(int(round(hours * 60)), unit="min")
                # Treatment pulls the heart rate towards resting, with noise.
                heart_rate += 0.3 * (resting - heart_rate) + rng.normal(0.0, 4.0)
            cost = COST_MEDIAN[event] * rng.lognormal(0.0, 0.45)
            rows.append((visit_id, time, event, ward, int(round(heart_rate)), round(cost, 2)))
    return pd.DataFrame(rows, columns=["visit_id", "event_time", "event_type", "ward", "heart_rate", "cost"])


if __name__ == "__main__":
    frame = make_hospital_visits()
    print(frame.head(12))
    print(frame.groupby("visit_id").size().value_counts().sort_index())
