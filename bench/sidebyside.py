"""Figures of this build and of a baseline measured side by side: the benches
alternate the two for a number of rounds and keep each figure's best."""


def best_of_rounds(rounds, baseline, measure):
    """(current, base): dicts of the smallest figures `measure(path)` returned
    over `rounds` rounds for this build (path None) and the baseline (skipped
    when None; base then stays empty). A figure is a number or a sequence of
    numbers (kept element by element)."""
    current, base = {}, {}
    for _ in range(rounds):
        for store, path in ((current, None), (base, baseline)):
            if store is base and path is None:
                continue
            for name, value in measure(path).items():
                if name not in store:
                    store[name] = value
                elif isinstance(value, (list, tuple)):
                    store[name] = [min(a, b) for a, b in zip(store[name], value)]
                else:
                    store[name] = min(store[name], value)
    return current, base
