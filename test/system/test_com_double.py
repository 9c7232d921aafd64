"""The COM double of the outside services registers in the prefix through
regsvr32, as system tests of later commands use it."""
import tempfile

import harness


def registration(clsid):
    rc, out, _ = harness.run(["reg", "query", rf"HKLM\Software\Classes\CLSID\{clsid}\InprocServer32",
                              "/v", "ThreadingModel"])
    return rc, out


def test_registers_all_three_services_with_both_threading_models_and_removes_them():
    with tempfile.TemporaryDirectory() as folder:
        with harness.ComDouble(folder) as services:
            for clsid in harness.SERVICE_CLSIDS.values():
                rc, out = registration(clsid)
                assert rc == 0 and "Both" in out, out
            services.set("IInstallManager", "State{5E6DDEA8-0A45-450E-B233-065F7E2F67CA}", "1,0")
            rc, out, _ = harness.run(["reg", "query", rf"{services.KEY}\IInstallManager"])
            assert "1,0" in out
            assert services.journal() == []
        for clsid in harness.SERVICE_CLSIDS.values():
            assert registration(clsid)[0] != 0
