"""A grain filter against an area opening and an area closing, on a
photograph with bright and dark spots: the opening removes only the
bright ones, the closing only the dark ones, the grain filter (the tree of
shapes, self-dual) both at once, leaving larger structures as they were.

Usage: grain_filter.py [--output DIR] [--area 30]   (default: docs/images)
Writes DIR/grain_filter.png: noisy | area opening | area closing | grain filter.
"""
import argparse
import os

import numpy as np
from skimage import data

import vexa
from filter_pictures import side_by_side


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--output", default=os.path.join(os.path.dirname(__file__), "..", "docs", "images"))
    parser.add_argument("--area", type=int, default=30)
    args = parser.parse_args()
    os.makedirs(args.output, exist_ok=True)

    photo = data.camera()[::2, ::2].copy()
    rng = np.random.default_rng(0)
    for value in (0, 255):  # spots of 1 to 9 pixels, dark and bright
        for y, x in rng.integers(0, photo.shape[0] - 3, (300, 2)):
            h, w = rng.integers(1, 4, 2)
            photo[y:y + h, x:x + w] = value
    panels = (photo, vexa.area_opening(photo, args.area), vexa.area_closing(photo, args.area),
              vexa.grain_filter(photo, args.area))
    path = os.path.join(args.output, "grain_filter.png")
    vexa.write_image(path, side_by_side(*panels))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
