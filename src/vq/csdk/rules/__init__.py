"""The market's rules, each in a module of its own, shared by the backtest
API, its command line and the replay loader of the testing kit: what the
offline market accepts as a time (:mod:`.times`), a bar length
(:mod:`.frequency`), a holiday list (:mod:`.holidays`) and which symbols
its random walk documents (:mod:`.symbols`)."""
