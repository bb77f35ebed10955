# Costs that make CTest start the longest job tests first on a build that has
# no timings of its own yet (a clean checkout); read by CTest after the
# discovered tests.
set_tests_properties(
  IncrementCheckBigTree.AFirstBackupWithAReplyOver16MiBCompletes
  JobManager.ASubmissionKilledAnywhereLeavesAJobThatRunsOrNoTrace
  BackupResumeKill.AWebRunKilledAtManyPointsStoresEveryFileOnce
  BackupResumeKill.AnOfflineRunKilledAtManyPointsStoresEveryFileOnce
  RestoreResumeKill.AWebRunIsTakenUpByTheNextProcess
  RestoreResumeKill.AnOfflineRunIsTakenUpByTheNextProcess
  PROPERTIES COST 500)
