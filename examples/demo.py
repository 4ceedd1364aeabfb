"""Placeholder demo: difference a tiny frame and show the results."""

import pandas as pd

from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer


def main():
    df = pd.DataFrame(
        {
            "id": [1, 1, 1, 2, 2, 3],
            "time": pd.to_datetime(
                [
                    "2024-01-01",
                    "2024-01-03",
                    "2024-01-07",
                    "2024-02-01",
                    "2024-02-02",
                    "2024-03-01",
                ]
            ),
            "value": [1.0, 2.5, 2.0, 10.0, 12.0, 5.0],
            "kind": ["a", "b", "b", "a", "c", "a"],
        }
    )
    transformer = TimeseriesDifferenceTransformer(df, "id", "time", ["value", "kind"], ["time"])
    print("df_multi_entry_per_group_diff:")
    print(transformer.df_multi_entry_per_group_diff)
    print()
    print("categorical_column_mappings:")
    for column, mapping in transformer.categorical_column_mappings.items():
        print("  %s:" % column)
        print(mapping)
    print()
    print("category_counts:")
    print(transformer.category_counts)


if __name__ == "__main__":
    main()
