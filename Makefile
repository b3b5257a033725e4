# make       installs what is missing, builds, lays out dist/ and shows the programs running under Wine
# make test  runs every test
PRESET := mingw
BUILD_DIR := out/mingw

.PHONY: all tools build dist demo test windows-kit coverage benchmark sign clean

all: demo

tools:
	scripts/install-tools.sh

build: tools
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET) -j2

# Exactly what an installer lays down: the programs beside the controller files.
dist: build
	rm -rf dist
	cmake --install $(BUILD_DIR) --prefix $(CURDIR)/dist >/dev/null
	@ls -l dist

demo: dist
	scripts/demo.sh

test: windows-kit
	xvfb-run -a tests/run-tests.sh $(BUILD_DIR)

# The suite as a kit for Windows: out/windows-kit/ and out/windows-kit.zip.
windows-kit: dist
	scripts/windows-kit.sh

# The whole suite on a build with coverage counters; line and branch coverage
# of the programs' code. Not part of make test.
coverage: windows-kit
	scripts/coverage.sh

# make sign PKCS11_MODULE=module.so PKCS11_KEY='pkcs11:...' CERTS=chain.pem [PIN_FILE=pin.txt] [TIMESTAMP_URL=address]
# make sign PFX=certificate.pfx PASSWORD_FILE=password.txt [TIMESTAMP_URL=address]
sign:
	PKCS11_MODULE="$(PKCS11_MODULE)" PKCS11_KEY="$(PKCS11_KEY)" CERTS="$(CERTS)" PIN_FILE="$(PIN_FILE)" \
	  PFX="$(PFX)" PASSWORD_FILE="$(PASSWORD_FILE)" TIMESTAMP_URL="$(TIMESTAMP_URL)" scripts/sign.sh dist

benchmark: dist
	scripts/benchmark.sh

clean:
	rm -rf out/mingw out/clang-cl out/coverage out/windows-kit out/windows-kit.zip dist
