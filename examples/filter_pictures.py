"""Makes the pictures of docs/filters.md: attribute openings and closings on
scikit-image's bundled photographs, each as original | filtered side by side.

Usage: filter_pictures.py [--output DIR]

Writes area_opening.png, diameter_closing.png and contrast_opening.png into
DIR (default: the current directory). The pictures of docs/filters.md are
re-created by passing the docs' folder, from the repository root:
``filter_pictures.py --output docs/images``.
"""
import argparse
import os

import numpy as np
from skimage import data

import vexa


def side_by_side(*panels):
    """Panels of one height, with a white gap between them."""
    gap = np.full((panels[0].shape[0], 8), 255, np.uint8)
    row = [panels[0]]
    for panel in panels[1:]:
        row += [gap, panel]
    return np.hstack(row)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=".", help="folder to write the pictures into (default: .)")
    out = parser.parse_args().output
    os.makedirs(out, exist_ok=True)
    pictures = {}

    # Area opening: bright details under 400 pixels go, large bright regions
    # keep their exact outline (no blurring, no rounding of corners).
    camera = data.camera()[::2, ::2]
    pictures["area_opening.png"] = side_by_side(camera, vexa.area_opening(camera, 400, connectivity=2))

    # Diameter closing: dark text thinner than 25 pixels is filled from its
    # surroundings, which leaves the page's uneven lighting; dividing by it
    # flattens the background.
    page = data.page()
    background = vexa.diameter_closing(page, 25)
    flattened = np.clip(page / np.maximum(background, 1) * 230, 0, 255).astype(np.uint8)
    pictures["diameter_closing.png"] = side_by_side(page, background, flattened)

    # Contrast (dynamics) opening: of the coins' bright structures, keep only
    # those rising at least 50 grey levels above their surroundings.
    coins = data.coins()
    pictures["contrast_opening.png"] = side_by_side(coins, vexa.contrast_opening(coins, 50, connectivity=2))

    for name, picture in pictures.items():
        vexa.write_image(os.path.join(out, name), picture)
        print(f"wrote {os.path.join(out, name)}")


if __name__ == "__main__":
    main()
