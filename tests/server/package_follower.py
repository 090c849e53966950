"""A follower through the kv318 package, as a process of its own: joins
the stream running on board 0 of the server at --url (or the next one),
writes every sample it is handed to --out as int16, and prints one JSON
line when it begins and one when the stream ends: the stream's index of
its first sample, how many it got and how many it missed."""
import argparse
import json

import kv318


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--url", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    got = 0
    with kv318.connect(args.url) as board, board.follow(timeout=60) as follower, open(args.out, "wb") as out:
        print(json.dumps({"ready": True}), flush=True)
        while True:
            try:
                for block in follower:
                    out.write(block.tobytes())
                    got += block.size
                break
            except kv318.SamplesMissed:
                pass  # counted in follower.missed; the samples after the jump come next
        print(json.dumps({"first": follower.first_index, "got": got, "missed": follower.missed,
                          "stream": follower.stream_number}), flush=True)


if __name__ == "__main__":
    main()
