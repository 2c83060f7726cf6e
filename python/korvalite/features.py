"""Features whatever their kind: what kind a feature is, its value read by that kind, a value
written from text, and the category tree below ``Root``.

    from korvalite import features

    for depth, name in features.walk_tree(cam):
        print("  " * depth + features.describe(cam, name, with_value=True))
"""

from ._features import Value, describe, feature_kind, feature_list, parse_value, read_value, walk_tree, write_value

__all__ = ["Value", "describe", "feature_kind", "feature_list", "parse_value", "read_value", "walk_tree",
           "write_value"]
