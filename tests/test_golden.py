"""Results recorded from an earlier build (tests/data/golden.npz, written by
golden_record.py) are reproduced bit for bit: states, stream words, journals,
parameter logs, history rows and errors of every session type, in every
execution mode, with hooks, callbacks, checkpoints, restores, bound histories
and 1, 2 or 8 worker threads."""

import numpy as np
import pytest

import golden_record as G


@pytest.fixture(scope="module")
def outcomes():
    return G.everything().items


@pytest.fixture(scope="module")
def recorded():
    return G.load()


def test_every_recorded_outcome_is_reproduced_bit_for_bit(outcomes, recorded):
    assert sorted(outcomes) == sorted(recorded)
    changed = []
    for label, (digest, head) in recorded.items():
        now_digest, now_head = outcomes[label]
        if now_digest != digest:
            changed.append(f"{label}: leading values {head.tolist()} -> {now_head.tolist()}")
    assert not changed, "results changed:\n" + "\n".join(changed)


def test_thread_counts_agree_with_each_other(outcomes):
    by_run = {}
    for label, (digest, _) in outcomes.items():
        if "@t" in label:
            base, threads = label.rsplit("@t", 1)
            if threads != "0":
                by_run.setdefault(base, set()).add(digest)
    assert by_run and all(len(d) == 1 for d in by_run.values())


def test_the_fixture_covers_every_session_type():
    labels = list(G.load())
    for prefix in ("age", "disc", "spat", "land"):
        assert any(label.startswith(prefix) for label in labels)
    assert any(label.endswith("@t8") for label in labels) and any("_cb1" in label for label in labels)
