# make       set up, build the package for AARCH64 (DEBUG and RELEASE), build
#            the virtual board and boot the images on it
# make test  the same set-up and builds, then every test under CTest
.PHONY: all test fuzz bench clean

all:
	@bash scripts/run-main.sh

test:
	@bash scripts/run-tests.sh

# make fuzz  a fuzz campaign of every target (ASFP_FUZZ_SECONDS each, default 300)
fuzz:
	@bash scripts/fuzz-campaign.sh

# make bench  the board's speed (vboard --bench, and one vboard --fv process);
#             ASFP_BENCH_BASELINE=OTHER/vboard measures that build too, in the same run
bench:
	@bash scripts/bench.sh

clean:
	rm -rf build
