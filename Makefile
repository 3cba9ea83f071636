# make       set up, build the package for AARCH64 (DEBUG and RELEASE), build
#            the virtual board and boot the images on it
# make test  the same set-up and builds, then every test under CTest
.PHONY: all test fuzz clean

all:
	@bash scripts/run-main.sh

test:
	@bash scripts/run-tests.sh

# make fuzz  a fuzz campaign of every target (ASFP_FUZZ_SECONDS each, default 300)
fuzz:
	@bash scripts/fuzz-campaign.sh

clean:
	rm -rf build
