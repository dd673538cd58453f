# Runs every *.Tests.ps1 beside this file with Pester (the version tools/pester/pester.csproj
# fetches) and writes "<passed> <failed>"
# to $env:TEST_COUNTS_FILE. Suites under tests/windows need a real Windows machine: they are
# not run here, and the summary names them with their number of tests as skipped. Tests
# that skip themselves (what this machine lacks) are listed with their reason.
# Usage: Invoke-Tests.ps1 [test file or folder ...]   (default: this folder)
param([Parameter(ValueFromRemainingArguments = $true)][string[]]$Path)
if ($null -eq $Path -or $Path.Count -eq 0) { $Path = @($PSScriptRoot) }

$ErrorActionPreference = 'Stop'
$repo = Resolve-Path (Join-Path $PSScriptRoot '../..')
$pesterVersion = ([xml][System.IO.File]::ReadAllText((Join-Path $repo 'tools/pester/pester.csproj'))).Project.ItemGroup.PackageDownload.Version.Trim('[]')
Import-Module (Join-Path $repo "build/tools/nuget/pester/$pesterVersion/tools/Pester.psd1") -Force

$missing = @($Path | Where-Object { -not (Test-Path -LiteralPath $_) })

$configuration = New-PesterConfiguration
$configuration.Run.Path = $Path
$configuration.Run.PassThru = $true
$configuration.Output.Verbosity = 'Normal'
$result = Invoke-Pester -Configuration $configuration
# Pester returns nothing at all when the paths hold no test file.
if ($null -eq $result) {
    $result = [pscustomobject]@{ PassedCount = 0; TotalCount = 0; Failed = @(); FailedBlocks = @(); FailedContainers = @(); Skipped = @() }
}

# What failed, by name. A block or file that fails before its tests run, a mistyped path
# and a run that finds no tests each count as a failure too, so none looks like a clean run.
$failures = @()
foreach ($test in @($result.Failed)) { $failures += "failed: $($test.ExpandedPath)" }
foreach ($block in @($result.FailedBlocks)) { $failures += "failed before its tests ran: $($block.ExpandedPath)" }
foreach ($container in @($result.FailedContainers)) { $failures += "failed before its tests ran: $($container.Item)" }
foreach ($item in $missing) { $failures += "no such test path: $item" }
if ($result.TotalCount -eq 0) { $failures += "no tests found under: $($Path -join ', ')" }
$passed = $result.PassedCount
$failed = $failures.Count
# The names go beside the counts for test.sh to repeat at the very end of a long run (a CI
# log may keep only its tail).
if ($env:TEST_COUNTS_FILE) {
    [System.IO.File]::WriteAllText($env:TEST_COUNTS_FILE, "$passed $failed`n")
    $text = ''
    if ($failed -gt 0) { $text = ($failures -join "`n") + "`n" }
    [System.IO.File]::WriteAllText($env:TEST_COUNTS_FILE + '.failed', $text)
}
foreach ($suite in @(Get-ChildItem -LiteralPath (Join-Path $repo 'tests/windows') -Filter '*.Tests.ps1' -File | Sort-Object Name)) {
    $ast = [System.Management.Automation.Language.Parser]::ParseFile($suite.FullName, [ref]$null, [ref]$null)
    $tests = @($ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.CommandAst] -and $node.GetCommandName() -eq 'It' }, $true)).Count
    Write-Host "Skipped tests/windows/$($suite.Name) ($tests test blocks): needs real Windows (ACLs, links, Windows PowerShell 5.1); see tests/windows/README.md"
}
# Tests that skipped themselves, with the reason they gave (what this machine lacks).
foreach ($test in @($result.Skipped)) {
    $reason = ''
    if (@($test.ErrorRecord).Count -gt 0) { $reason = ': ' + [string]@($test.ErrorRecord)[0] }
    Write-Host "Skipped $($test.ExpandedPath)$reason"
}
foreach ($line in $failures) { Write-Host $line }
Write-Host "setup-script: $passed passed, $failed failed, $(@($result.Skipped).Count) skipped"
if ($failed -gt 0) { exit 1 }
exit 0
