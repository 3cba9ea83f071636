# make       set up, build the package for AARCH64 (DEBUG and RELEASE), build
#            the virtual board and boot the images on it
# make test  the same set-up and builds, then every test under CTest
.PHONY: all test clean

all:
	@bash scripts/run-main.sh

test:
	@bash scripts/run-tests.sh

clean:
	rm -rf build
