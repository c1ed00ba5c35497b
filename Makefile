# Shortcuts for tools/dev.sh, which does the work (and installs what is missing first).
.PHONY: run test build bench deps package
run test build bench deps package:
	@bash tools/dev.sh $@
