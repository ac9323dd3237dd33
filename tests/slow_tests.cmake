# Tests that take more than about ten seconds on two cores, labelled "slow" so
# that `ctest -LE slow` gives a quick loop. Read by ctest after the test
# programs have listed their tests.
set(tessaly_slow_tests
  VeryDeepChain.BothEnginesListAHundredThousandLevelsInBoundedMemoryBehindALaggingCollector
  LargeDirectoryTest.BulkWalkerCountsAndListsEveryEntryOnce
  LargeDirectoryTest.ParallelWalkerCountsAndListsEveryEntryOnce
  LargeDirectoryTest.PeakMemoryPerScannedEntryIsBounded
  ExhaustionTree.NoDescriptorForTheRoot
  ExhaustionMemory.ThreeHundredRootsKeepMemoryFlat
  ScanTreeHtmlBrowser.DrawsToScaleZoomsAndKeepsThePlace)
set_tests_properties(${tessaly_slow_tests} PROPERTIES LABELS slow)
