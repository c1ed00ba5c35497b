# Shortcuts for tools/dev.sh, which does the work (and installs what is missing first).
.PHONY: run test build bench deps
run test build bench deps:
	@bash tools/dev.sh $@
