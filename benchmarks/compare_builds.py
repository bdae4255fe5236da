"""Compares two builds of vexa on the same machine, alternating between them.

Usage: compare_builds.py BASE_ROOT BASE_LIB NEW_ROOT NEW_LIB [--rounds 5] [--size 2048]

A ROOT holds the `vexa` package, a LIB the built `_vexa` module (for a
checkout: ROOT=. and LIB=build/lib). Each round runs one fresh process per
build, in turn, and each process times tree building, attributes and the
filters (best of a few runs). The figure kept per task is the best over all
rounds, and the table gives new / base. Times are CPU time of the process
(all its threads): on a machine shared with other work, CPU time of the best
of many alternating runs is what stays comparable.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

WORKER = r"""
import json, sys, time
import torch
import _vexa, vexa
from vexa import images

def best(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.process_time()
        run()
        times.append(time.process_time() - start)
    return min(times)

size = int(sys.argv[1])
photo, noise = images.photo_like(size, size, seed=5), images.noise(size, size)
out = {}
for name, image in (("photo", photo), ("noise", noise)):
    out[f"MaxTree {name}"] = best(lambda: _vexa.MaxTree(image, 1.5), 3)
    tree = _vexa.MaxTree(image, 1.5)
    _vexa.Attributes(tree)
    out[f"Attributes {name}"] = best(lambda: _vexa.Attributes(tree), 3)
tree = _vexa.MaxTree(photo, 1.5)
arrays = vexa.TreeArrays.of(tree, torch.float64)
residues = arrays.residues
score = torch.rand(residues.shape[0], dtype=torch.float64)
keep = score > 0.5

def levels():
    r = residues.detach().requires_grad_()
    vexa.levels_from_residues(arrays.parents, r).sum().backward()

def subtractive():
    r, s = residues.detach().requires_grad_(), score.detach().requires_grad_()
    vexa.subtractive(arrays, s, r).square().mean().backward()

out["levels fwd+bwd"] = best(levels, 7)
out["subtractive fwd+bwd"] = best(subtractive, 5)
for rule in ("direct", "minimum", "maximum"):
    out[rule] = best(lambda: getattr(vexa, rule)(arrays, keep), 5)
# The vexa face: trees of any image, their attributes, the morphology filters.
floats = photo.astype("float32") + noise.astype("float32") / 256
out["max_tree float32"] = best(lambda: vexa.max_tree(floats), 3)
out["area+volume+height"] = best(lambda: [getattr(vexa.max_tree(photo), a) for a in ("area", "volume", "height")], 3)
out["area_opening uint8"] = best(lambda: vexa.area_opening(photo, 64), 3)
out["volume_opening float32"] = best(lambda: vexa.volume_opening(floats, 500.0), 3)
print(json.dumps(out))
"""


def run(root, lib, size):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(root), os.path.abspath(lib)]))
    # Not from the caller's directory: `python -c` puts it first on the path,
    # ahead of ROOT, and a checkout there would be imported instead.
    done = subprocess.run([sys.executable, "-c", WORKER, str(size)], env=env, capture_output=True, text=True,
                          cwd=tempfile.gettempdir())
    if done.returncode != 0:
        raise RuntimeError(f"the worker of {root} failed:\n{done.stderr}")
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("base_root")
    parser.add_argument("base_lib")
    parser.add_argument("new_root")
    parser.add_argument("new_lib")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", type=int, default=2048, help="image side in pixels")
    args = parser.parse_args()

    best = {"base": {}, "new": {}}
    for _ in range(args.rounds):
        for label, root, lib in (("base", args.base_root, args.base_lib), ("new", args.new_root, args.new_lib)):
            for task, seconds in run(root, lib, args.size).items():
                best[label][task] = min(seconds, best[label].get(task, float("inf")))
    print(f"{args.size}x{args.size}, best of {args.rounds} alternating rounds")
    print(f"{'task':<22}{'base ms':>10}{'new ms':>10}{'new/base':>10}")
    for task, base in best["base"].items():
        new = best["new"][task]
        print(f"{task:<22}{base * 1e3:>10.2f}{new * 1e3:>10.2f}{new / base:>10.3f}")


if __name__ == "__main__":
    main()
