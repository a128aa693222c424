"""One module per contender, each wrapping one library behind the calls that
worker.py times (base.Peer lists them)."""
